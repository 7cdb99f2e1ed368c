// SPDX-License-Identifier: Apache-2.0
// The run's table and results file.

#include "bench_report.h"

#include <cstdarg>
#include <fstream>

namespace bench {

std::string format(const char *fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    char text[512];
    vsnprintf(text, sizeof text, fmt, args);
    va_end(args);
    return text;
}

void Report::section(const std::string &title)
{
    lines_.push_back("");
    lines_.push_back(title);
}

void Report::line(const std::string &text)
{
    lines_.push_back("  " + text);
}

void Report::figure(const std::string &key, double value, const std::string &unit)
{
    figures_.push_back(format("%-48s %14.3f %s", key.c_str(), value, unit.c_str()));
    values_[key] = value;
}

std::optional<double> Report::value(const std::string &key) const
{
    const auto found = values_.find(key);
    if (found == values_.end())
        return std::nullopt;
    return found->second;
}

void Report::target(const std::string &what, bool met, const std::string &measured)
{
    targets_.push_back(format("  %-5s %-58s %s", met ? "met" : "MISS", what.c_str(), measured.c_str()));
}

void Report::problem(const std::string &text)
{
    problems_.push_back(text);
    fprintf(stderr, "vornmgr_bench: %s\n", text.c_str());
}

void Report::note(const std::string &text)
{
    notes_.push_back(text);
}

std::string Report::table() const
{
    std::string text = header_;
    for (const std::string &line : lines_)
        text += line + "\n";
    text += "\nTargets\n";
    for (const std::string &line : targets_)
        text += line + "\n";
    if (!notes_.empty()) {
        text += "\nNotes\n";
        for (const std::string &line : notes_)
            text += "  " + line + "\n";
    }
    if (!problems_.empty()) {
        text += "\nPROBLEMS (the figures above are not trustworthy)\n";
        for (const std::string &line : problems_)
            text += "  " + line + "\n";
    }
    text += footer_;
    return text;
}

void Report::print(FILE *out) const
{
    fputs(table().c_str(), out);
}

bool Report::write(const std::string &path) const
{
    std::ofstream file(path, std::ios::trunc);
    file << table() << "\nFigures\n";
    for (const std::string &line : figures_)
        file << line << "\n";
    return bool(file.flush());
}

} // namespace bench
