# Install step: writes the built DLL to BRL_DLL_DIR without its debug
# information and symbols, and those to brailledriver.dll.debug beside it. The
# DLL's .gnu_debuglink section names the debug file (with its checksum), so
# gdb and lldb find it next to the DLL.
#   BRL_DLL_BUILT  the DLL in the build tree (left as it is)
#   BRL_DLL_DIR    the bin directory of the installation
#   BRL_OBJCOPY    objcopy of the cross toolchain
set(dll "${BRL_DLL_DIR}/brailledriver.dll")
set(debug "${BRL_DLL_DIR}/brailledriver.dll.debug")
# objcopy stamps the PE headers it writes with the time it runs unless
# SOURCE_DATE_EPOCH says otherwise: the built DLL's own time keeps every
# install of one build (cmake --install, cpack) byte for byte the same.
file(TIMESTAMP "${BRL_DLL_BUILT}" built "%s" UTC)
message(STATUS "Installing: ${debug}")
execute_process(COMMAND "${CMAKE_COMMAND}" -E env "SOURCE_DATE_EPOCH=${built}" "${BRL_OBJCOPY}" --only-keep-debug "${BRL_DLL_BUILT}" "${debug}" COMMAND_ERROR_IS_FATAL ANY)
message(STATUS "Stripping: ${dll}")
execute_process(COMMAND "${CMAKE_COMMAND}" -E env "SOURCE_DATE_EPOCH=${built}" "${BRL_OBJCOPY}" --strip-all "--add-gnu-debuglink=${debug}" "${BRL_DLL_BUILT}" "${dll}"
                COMMAND_ERROR_IS_FATAL ANY)
