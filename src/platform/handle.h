// An owner for one kernel handle: closes it exactly once, when the owner is
// reset or goes out of scope. The system has two empty values: CreateFile
// fails with INVALID_HANDLE_VALUE, CreateEvent, OpenFileMapping and most
// others with null; the owner treats both as empty, so nobody tests both by hand.
#ifndef BRL_HANDLE_H
#define BRL_HANDLE_H

#include <windows.h>

class CHandle {
public:
    // How a handle is closed: CloseHandle by default; handles opened through
    // the seam are closed through it (context: the seam object).
    using Closer = void (*)(void* context, HANDLE h);

    CHandle() noexcept = default;
    explicit CHandle(HANDLE h) noexcept : handle(Normal(h)) {}
    CHandle(HANDLE h, Closer closer, void* context) noexcept
        : handle(Normal(h)), close(closer), closeContext(context) {}
    ~CHandle() { Reset(); }
    CHandle(CHandle&& other) noexcept : handle(other.Release()), close(other.close), closeContext(other.closeContext) {}
    CHandle& operator=(CHandle&& other) noexcept {
        if (this != &other) {
            Reset(other.Release());
            close = other.close;
            closeContext = other.closeContext;
        }
        return *this;
    }
    CHandle(const CHandle&) = delete;
    CHandle& operator=(const CHandle&) = delete;

    // Closes the handle held (if any) and takes `h`.
    void Reset(HANDLE h = nullptr) noexcept {
        HANDLE old = handle;
        handle = Normal(h);
        if (old) close(closeContext, old);
    }
    // Gives the handle up without closing it.
    HANDLE Release() noexcept {
        HANDLE h = handle;
        handle = nullptr;
        return h;
    }
    HANDLE Get() const noexcept { return handle; }
    explicit operator bool() const noexcept { return handle != nullptr; }

    static bool IsValid(HANDLE h) noexcept { return h != nullptr && h != INVALID_HANDLE_VALUE; }

private:
    static HANDLE Normal(HANDLE h) noexcept { return IsValid(h) ? h : nullptr; }

    static void CloseKernelHandle(void*, HANDLE h) { ::CloseHandle(h); }

    HANDLE handle = nullptr;
    Closer close = &CloseKernelHandle;
    void* closeContext = nullptr;
};

#endif
