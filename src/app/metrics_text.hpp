// Appends metric families to a string in the Prometheus text exposition format 0.0.4.
#pragma once

#include <concepts>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

namespace murva {

enum class MetricType { Counter, Gauge };

// Metric names follow [a-zA-Z_:][a-zA-Z0-9_:]* (counters end in _total), label names [a-zA-Z_][a-zA-Z0-9_]* and
// do not start with "__"; debug builds assert both. Label values may hold any text and are escaped on output.
struct Label {
    std::string_view name;
    std::string_view value;
};

// The "# HELP" and "# TYPE" lines that open a family; its samples follow. Backslashes and line breaks in `help`
// are escaped.
void appendFamilyHeader(std::string& out, std::string_view name, MetricType type, std::string_view help);

// `value` with `"`, `\` and line breaks escaped, as a label value is written between double quotes.
void appendEscapedLabelValue(std::string& out, std::string_view value);

namespace detail {
void appendSampleName(std::string& out, std::string_view name, std::initializer_list<Label> labels);
void appendValue(std::string& out, double value); // NaN, +Inf and -Inf spelled as the format wants
void appendValue(std::string& out, std::uint64_t value);
void appendValue(std::string& out, std::int64_t value);
} // namespace detail

// One sample line, `name{label="value",...} value`. Integers are written exactly, so counters above 2^53 keep
// every digit.
template <class T>
requires std::integral<T> || std::floating_point<T>
void appendSample(std::string& out, std::string_view name, std::initializer_list<Label> labels, T value) {
    detail::appendSampleName(out, name, labels);
    if constexpr (std::floating_point<T>)
        detail::appendValue(out, static_cast<double>(value));
    else if constexpr (std::signed_integral<T>)
        detail::appendValue(out, static_cast<std::int64_t>(value));
    else
        detail::appendValue(out, static_cast<std::uint64_t>(value));
    out += '\n';
}

// A whole family of one unlabelled sample.
template <class T>
requires std::integral<T> || std::floating_point<T>
void appendMetric(std::string& out, std::string_view name, MetricType type, std::string_view help, T value) {
    appendFamilyHeader(out, name, type, help);
    appendSample(out, name, {}, value);
}

} // namespace murva
