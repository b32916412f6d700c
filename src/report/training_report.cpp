#include "report/training_report.hpp"

#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>

namespace tarvinex::report {

double mean_distance(std::span<const float> distances) {
    double sum = -0.0;
    for (const float distance : distances) {
        sum += static_cast<double>(distance);
    }
    return sum / static_cast<double>(distances.size());
}

std::string format_fixed6(double value) {
    if (std::isnan(value)) {
        return "NaN";
    }
    if (std::isinf(value)) {
        return value > 0 ? "inf" : "-inf";
    }
    const int length = std::snprintf(nullptr, 0, "%.6f", value);
    std::string text(static_cast<std::size_t>(length), '\0');
    std::snprintf(text.data(), text.size() + 1, "%.6f", value);
    return text;
}

void write_diagnostic_line(std::string_view line) {
    std::string buffer(line);
    buffer.push_back('\n');
    std::size_t written = 0;
    while (written < buffer.size()) {
        const ssize_t result = ::write(2, buffer.data() + written, buffer.size() - written);
        if (result < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;  // diagnostics never fail a fit
        }
        written += static_cast<std::size_t>(result);
    }
}

void write_iteration_line(std::size_t pass, std::string_view label, double value) {
    std::string line = "iteration=" + std::to_string(pass);
    line.append(" ").append(label).append("=").append(format_fixed6(value));
    write_diagnostic_line(line);
}

}  // namespace tarvinex::report
