// SPDX-License-Identifier: Apache-2.0
// bench_report.h - what a run found: the table printed for a reader, the
// figures written for comparison between runs, the targets met or missed,
// and any problem that makes the run's figures untrustworthy.
#ifndef VORN_BENCH_REPORT_H
#define VORN_BENCH_REPORT_H

#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace bench {

// printf into a std::string.
std::string format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

class Report {
public:
    void section(const std::string &title);
    void line(const std::string &text);
    // A figure of the results file: "key value unit".
    void figure(const std::string &key, double value, const std::string &unit);
    // A figure recorded earlier in the run, for measurements that build on it.
    std::optional<double> value(const std::string &key) const;
    void target(const std::string &what, bool met, const std::string &measured);
    // A measurement that went wrong; the run then ends with status 1.
    void problem(const std::string &text);
    void note(const std::string &text);

    bool ok() const { return problems_.empty(); }
    void set_header(const std::string &text) { header_ = text; }
    void set_footer(const std::string &text) { footer_ = text; }

    void print(FILE *out) const;
    // The table followed by every figure; false if the file cannot be written.
    bool write(const std::string &path) const;

private:
    std::string table() const;

    std::string header_;
    std::string footer_;
    std::vector<std::string> lines_;
    std::vector<std::string> figures_;
    std::map<std::string, double> values_;
    std::vector<std::string> targets_;
    std::vector<std::string> notes_;
    std::vector<std::string> problems_;
};

} // namespace bench

#endif // VORN_BENCH_REPORT_H
