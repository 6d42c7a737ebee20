// Prometheus text exposition format 0.0.4: family headers, sample lines, escaping and number spelling.
#include "app/metrics_text.hpp"

#include <cassert>
#include <charconv>
#include <cmath>

namespace murva {

namespace {

bool isNameStart(char c, bool colonAllowed) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || (colonAllowed && c == ':');
}

bool isValidName(std::string_view name, bool colonAllowed) {
    if (name.empty() || !isNameStart(name.front(), colonAllowed))
        return false;
    for (char c : name.substr(1))
        if (!isNameStart(c, colonAllowed) && !(c >= '0' && c <= '9'))
            return false;
    return true;
}

template <class T> void appendNumber(std::string& out, T value) {
    char buffer[32];
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
    assert(ec == std::errc());
    out.append(buffer, end);
}

[[maybe_unused]] bool isValidMetricName(std::string_view name) { return isValidName(name, true); }

// Names starting with "__" are reserved for Prometheus itself.
[[maybe_unused]] bool isValidLabelName(std::string_view name) {
    return isValidName(name, false) && name.substr(0, 2) != "__";
}

} // namespace

void appendFamilyHeader(std::string& out, std::string_view name, MetricType type, std::string_view help) {
    assert(isValidMetricName(name));
    out += "# HELP ";
    out += name;
    out += ' ';
    for (char c : help) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    out += "\n# TYPE ";
    out += name;
    out += type == MetricType::Counter ? " counter\n" : " gauge\n";
}

void appendEscapedLabelValue(std::string& out, std::string_view value) {
    for (char c : value) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '"')
            out += "\\\"";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
}

namespace detail {

void appendSampleName(std::string& out, std::string_view name, std::initializer_list<Label> labels) {
    assert(isValidMetricName(name));
    out += name;
    if (labels.size() == 0) {
        out += ' ';
        return;
    }
    char separator = '{';
    for (const Label& label : labels) {
        assert(isValidLabelName(label.name));
        out += separator;
        out += label.name;
        out += "=\"";
        appendEscapedLabelValue(out, label.value);
        out += '"';
        separator = ',';
    }
    out += "} ";
}

void appendValue(std::string& out, double value) {
    if (std::isnan(value))
        out += "NaN";
    else if (std::isinf(value))
        out += value > 0 ? "+Inf" : "-Inf";
    else
        appendNumber(out, value); // shortest text that reads back as the same double
}

void appendValue(std::string& out, std::uint64_t value) { appendNumber(out, value); }

void appendValue(std::string& out, std::int64_t value) { appendNumber(out, value); }

} // namespace detail

} // namespace murva
