#include <cstdarg>
#include <cstdio>

#include "bench.h"

namespace bench {

void Report(const std::string& name, const std::string& figures) {
    std::printf("%-34s %s\n", name.c_str(), figures.c_str());
}

probes::Summary ReportTimes(const char* name, const std::vector<double>& times, const char* unit, int decimals) {
    const probes::Summary summary = probes::Summarize(times);
    Report(name, probes::Format(summary, unit, decimals));
    return summary;
}

std::string Printf(const char* format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

}  // namespace bench
