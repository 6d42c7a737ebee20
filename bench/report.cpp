#include "report.hpp"

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <map>
#include <vector>

namespace bench {
namespace {

std::string format(const char* pattern, double value) {
    char text[64];
    std::snprintf(text, sizeof text, pattern, value);
    return text;
}

double number(const Json& j, const char* key, double fallback = -1) {
    auto it = j.find(key);
    return it != j.end() && it->is_number() ? it->get<double>() : fallback;
}

std::string count(double value) {
    if (value >= 1e6)
        return format("%.2fM", value / 1e6);
    if (value >= 1e4)
        return format("%.1fk", value / 1e3);
    return format("%.0f", value);
}

std::string bytes(double value) {
    if (value >= 1e6)
        return format("%.1f MB", value / 1e6);
    if (value >= 1e3)
        return format("%.1f kB", value / 1e3);
    return format("%.0f B", value);
}

std::string latency(const Json& p) {
    return format("p50 %.0f", number(p, "p50")) + format(" / p90 %.0f", number(p, "p90")) +
           format(" / p99 %.0f", number(p, "p99")) + format(" / max %.0f us", number(p, "max"));
}

// p50 / p99 / p99.9 / max: the open-loop figures, where the tail is the point.
std::string tail(const Json& p) {
    return format("p50 %.0f", number(p, "p50")) + format(" / p99 %.0f", number(p, "p99")) +
           format(" / p99.9 %.0f", number(p, "p999")) + format(" / max %.0f us", number(p, "max"));
}

// System calls per relayed frame, when they were counted.
std::string syscalls(const Json& j) {
    auto it = j.find("syscalls_per_frame");
    if (it == j.end())
        return "";
    if (!it->is_object())
        return "; syscalls not counted: " + j.value("syscalls_error", std::string());
    return "; syscalls/frame: recv " + format("%.2f", number(*it, "recv")) + ", send " +
           format("%.2f", number(*it, "send")) + ", epoll_wait " + format("%.2f", number(*it, "epoll_wait")) +
           ", epoll_ctl " + format("%.2f", number(*it, "epoll_ctl")) + ", futex " +
           format("%.2f", number(*it, "futex")) + ", total " + format("%.2f", number(*it, "total"));
}

std::string cores(const Json& j, const char* key) {
    const double v = number(j, key);
    return v < 0 ? "-" : format("%.2f", v);
}

struct Row {
    std::string workload, setting, result, serverPerOp, server, generator, other, status;
};

Row rowOf(const Json& j) {
    Row r;
    r.workload = j.value("workload", std::string("?"));
    // The kind of row: the name without the "-cluster" and "-tls" of its variants.
    std::string w = r.workload;
    for (const std::string suffix : {"-cluster", "-tls"})
        if (w.size() > suffix.size() && w.compare(w.size() - suffix.size(), suffix.size(), suffix) == 0)
            w.resize(w.size() - suffix.size());
    if (w == "stream") {
        r.setting = format("%.0f pairs", number(j, "pairs")) + format(", W=%.0f", number(j, "window")) +
                    format(", %.0f B", number(j, "frame_bytes"));
        if (const double offered = number(j, "offered_per_s"); offered > 0)
            r.setting += ", " + count(offered) + " frames/s offered";
        r.result =
            count(number(j, "frames_per_s")) + " frames/s, " + bytes(number(j, "bytes_per_s")) + "/s" + syscalls(j);
    } else if (w == "pingpong") {
        r.setting = format("%.0f pairs", number(j, "pairs")) + format(", %.0f B", number(j, "frame_bytes"));
        r.result = count(number(j, "round_trips_per_s")) + " round trips/s, rtt " + latency(j.value("rtt_us", Json{}));
    } else if (w == "latency") {
        r.setting = format("%.0f pairs", number(j, "pairs")) + ", " + count(number(j, "offered_per_s")) +
                    " round trips/s offered";
        r.result = count(number(j, "achieved_per_s")) + "/s achieved, latency " + tail(j.value("latency_us", Json{})) +
                   "; send lag p99 " + format("%.0f", number(j.value("send_lag_us", Json{}), "p99")) +
                   format(" / max %.0f us", number(j.value("send_lag_us", Json{}), "max")) + syscalls(j);
        if (const double missing = number(j, "unanswered", 0); missing > 0)
            r.result += format("; %.0f unanswered", missing);
    } else if (w == "joins" || w == "joins-churn" || w.rfind("joins-token-", 0) == 0) {
        r.setting = format("%.0f clients", number(j, "clients")) + format(", %.0f at once", number(j, "concurrency"));
        r.result = count(number(j, "joins_per_s")) + " joins/s, " + latency(j.value("latency_us", Json{}));
    } else if (w == "idle") {
        r.setting = format("%.0f connections", number(j, "clients"));
        r.result = bytes(number(j, "bytes_per_connection")) + " per connection; server RSS " +
                   bytes(number(j, "rss_before_bytes")) + " idle -> " + bytes(number(j, "rss_after_bytes"));
    } else if (w == "capacity") {
        r.setting = format("target %.0f", number(j, "target")) + format(", %.0f sources", number(j, "sources", 0));
        r.result = format("%.0f joined", number(j, "reached")) + " (" + j.value("stop_reason", std::string()) + "), " +
                   bytes(number(j, "bytes_per_connection")) + " per connection";
    }
    const double perOp = number(j, "server_us_per_op");
    r.serverPerOp = perOp < 0 ? "-" : format("%.2f us/", perOp) + j.value("op", std::string("op"));
    r.server = cores(j, "server_cores");
    r.generator = cores(j, "gen_cores");
    r.other = cores(j, "other_cores");
    r.status = j.value("complete", false) ? "ok" : "INCOMPLETE";
    if (const double disorder = number(j, "out_of_order", 0); disorder > 0)
        r.status += format(", %.0f out of order", disorder);
    return r;
}

} // namespace

std::string humanLine(const Json& j) {
    const Row r = rowOf(j);
    std::string line = (j.contains("server_label") ? "[" + j.value("server_label", std::string()) + "] " : "") +
                       r.workload + " (" + r.setting + "): " + r.result + "; server " + r.serverPerOp + " (" +
                       r.server + " cores), generator " + r.generator + " cores, others " + r.other + " cores";
    if (!j.value("complete", false)) {
        const std::string reason = j.value("stop_reason", std::string());
        const std::string first = j.value("first_failure", std::string());
        line += "; INCOMPLETE: " + reason;
        if (!first.empty() && reason.find(first) == std::string::npos)
            line += " (first failure: " + first + ")";
    }
    if (number(j, "out_of_order", 0) > 0)
        line += format("; %.0f replies out of order, first: ", number(j, "out_of_order")) +
                j.value("first_out_of_order", std::string());
    return line;
}

namespace {

// Rows of cells as a Markdown table, the first row its head.
void printCells(const std::vector<std::vector<std::string>>& rows, std::ostream& out) {
    std::vector<std::size_t> width;
    for (const auto& r : rows)
        for (std::size_t i = 0; i < r.size(); ++i) {
            width.resize(std::max(width.size(), r.size()), 0);
            width[i] = std::max(width[i], r[i].size());
        }
    for (std::size_t n = 0; n < rows.size(); ++n) {
        std::string text = "|";
        for (std::size_t i = 0; i < width.size(); ++i) {
            const std::string cell = i < rows[n].size() ? rows[n][i] : "";
            text += " " + cell + std::string(width[i] - cell.size(), ' ') + " |";
        }
        out << text << "\n";
        if (n == 0) {
            std::string rule = "|";
            for (auto w : width)
                rule += std::string(w + 2, '-') + "|";
            out << rule << "\n";
        }
    }
}

double median(std::vector<double> values) {
    values.erase(std::remove_if(values.begin(), values.end(), [](double v) { return v < 0; }), values.end());
    if (values.empty())
        return -1;
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

std::string figure(double value, const char* pattern = "%.2f") { return value < 0 ? "-" : format(pattern, value); }

} // namespace

void printComparison(std::istream& in, std::ostream& out, const std::string& base) {
    // (workload, offered rate or -1) -> server label -> its results, in the order the servers first appear. The
    // rate keeps runs at a fixed rate apart from full-speed runs of the same workload, and rates apart.
    std::map<std::pair<std::string, double>, std::map<std::string, std::vector<Json>>> runs;
    std::vector<std::string> labels;
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line.front() != '{')
            continue;
        const Json j = Json::parse(line, nullptr, false);
        if (j.is_discarded() || !j.is_object() || !j.contains("server_label"))
            continue;
        const std::string label = j.value("server_label", std::string());
        if (std::find(labels.begin(), labels.end(), label) == labels.end())
            labels.push_back(label);
        runs[{j.value("workload", std::string("?")), number(j, "offered_per_s")}][label].push_back(j);
    }
    // The median over one server's runs of a number found by `get` (-1: absent).
    auto med = [](const std::vector<Json>& results, auto get) {
        std::vector<double> values;
        for (const auto& j : results)
            values.push_back(get(j));
        return median(values);
    };
    auto perOp = [](const Json& j) { return number(j, "server_us_per_op"); };
    auto cpuRange = [&](const std::vector<Json>& results) {
        double low = -1, high = -1;
        for (const auto& j : results)
            if (const double v = perOp(j); v >= 0) {
                low = low < 0 ? v : std::min(low, v);
                high = std::max(high, v);
            }
        return low < 0 ? std::string("-") : format("%.1f", low) + format("-%.1f", high);
    };
    auto ratio = [&](const std::map<std::string, std::vector<Json>>& byServer, const std::string& label) {
        auto b = byServer.find(base);
        if (b == byServer.end())
            return std::string("-");
        const double mine = med(byServer.at(label), perOp), theirs = med(b->second, perOp);
        return mine < 0 || theirs <= 0 ? std::string("-") : format("%.2fx", mine / theirs);
    };
    // How many runs, and how many of them fell short (failures, unanswered, below the offered rate): their
    // figures are in the medians all the same, so the table says so.
    auto runCount = [](const std::vector<Json>& results) {
        const auto incomplete =
            std::count_if(results.begin(), results.end(), [](const Json& j) { return !j.value("complete", false); });
        return std::to_string(results.size()) +
               (incomplete > 0 ? format(" (%.0f incomplete)", static_cast<double>(incomplete)) : "");
    };
    // System calls of one kind per operation of `framesPerOp` relayed frames, the median over the runs.
    auto calls = [&](const std::vector<Json>& results, const char* kind, double framesPerOp) {
        return figure(med(results, [&](const Json& j) {
            auto s = j.find("syscalls_per_frame");
            const double v = s != j.end() && s->is_object() ? number(*s, kind) : -1;
            return v < 0 ? -1 : framesPerOp * v;
        }));
    };

    for (const auto& [key, byServer] : runs) {
        const std::string& workload = key.first;
        const bool fixedRate = key.second > 0;
        const Json& first = byServer.begin()->second.front();
        std::vector<std::vector<std::string>> rows;
        if (workload == "stream" && fixedRate) {
            out << "\nstream at a fixed rate: " << format("%.0f pairs, ", number(first, "pairs"))
                << format("W=%.0f, ", number(first, "window")) << count(key.second) << " frames/s offered, "
                << format("%.0f B frames", number(first, "frame_bytes")) << " (per frame: medians over the runs)\n";
            rows.push_back({"server", "runs", "CPU us/frame", "CPU range", "vs " + base, "syscalls/frame", "recv",
                            "send", "epoll_wait", "epoll_ctl", "futex", "achieved/s", "other cores"});
            for (const auto& label : labels) {
                auto it = byServer.find(label);
                if (it == byServer.end())
                    continue;
                const auto& results = it->second;
                rows.push_back({label, runCount(results), figure(med(results, perOp), "%.2f"), cpuRange(results),
                                ratio(byServer, label), calls(results, "total", 1), calls(results, "recv", 1),
                                calls(results, "send", 1), calls(results, "epoll_wait", 1),
                                calls(results, "epoll_ctl", 1), calls(results, "futex", 1),
                                figure(med(results, [](const Json& j) { return number(j, "frames_per_s"); }), "%.0f"),
                                figure(med(results, [](const Json& j) { return number(j, "other_cores"); }))});
            }
        } else if (workload == "latency") {
            out << "\nFixed rate: " << format("%.0f pairs, ", number(first, "pairs"))
                << count(number(first, "offered_per_s")) << " round trips/s offered, "
                << format("%.0f B frames", number(first, "frame_bytes"))
                << " (per round trip: medians over the runs; syscalls = 2 x per frame)\n";
            rows.push_back({"server", "runs", "CPU us/rt", "CPU range", "vs " + base, "syscalls/rt", "recv", "send",
                            "epoll_wait", "epoll_ctl", "futex", "p50 us", "p99 us", "achieved/s", "other cores"});
            for (const auto& label : labels) {
                auto it = byServer.find(label);
                if (it == byServer.end())
                    continue;
                const auto& results = it->second;
                auto latency = [&](const char* p) {
                    return figure(med(results, [&](const Json& j) { return number(j.value("latency_us", Json{}), p); }),
                                  "%.0f");
                };
                rows.push_back({label, runCount(results), figure(med(results, perOp), "%.1f"), cpuRange(results),
                                ratio(byServer, label), calls(results, "total", 2), calls(results, "recv", 2),
                                calls(results, "send", 2), calls(results, "epoll_wait", 2),
                                calls(results, "epoll_ctl", 2), calls(results, "futex", 2), latency("p50"),
                                latency("p99"),
                                figure(med(results, [](const Json& j) { return number(j, "achieved_per_s"); }), "%.0f"),
                                figure(med(results, [](const Json& j) { return number(j, "other_cores"); }))});
            }
        } else {
            out << "\n" << workload << " (medians over the runs)\n";
            rows.push_back({"server", "runs", "CPU us/op", "CPU range", "vs " + base, "result"});
            for (const auto& label : labels) {
                auto it = byServer.find(label);
                if (it == byServer.end())
                    continue;
                const auto& results = it->second;
                std::string result;
                if (workload == "stream")
                    result = count(med(results, [](const Json& j) { return number(j, "frames_per_s"); })) + " frames/s";
                else if (workload == "idle")
                    result = bytes(med(results, [](const Json& j) { return number(j, "bytes_per_connection"); })) +
                             " per connection";
                else if (workload.rfind("joins", 0) == 0)
                    result = count(med(results, [](const Json& j) { return number(j, "joins_per_s"); })) + " joins/s";
                rows.push_back({label, runCount(results), figure(med(results, perOp), "%.2f"), cpuRange(results),
                                ratio(byServer, label), result});
            }
        }
        printCells(rows, out);
    }
}

void printTable(std::istream& in, std::ostream& out) {
    std::vector<Row> rows;
    rows.push_back(
        {"workload", "setting", "result", "server CPU/op", "server cores", "gen cores", "other cores", "status"});
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line.front() != '{')
            continue;
        const Json j = Json::parse(line, nullptr, false);
        if (!j.is_discarded() && j.is_object())
            rows.push_back(rowOf(j));
    }
    std::vector<std::vector<std::string>> cells;
    for (const auto& r : rows)
        cells.push_back({r.workload, r.setting, r.result, r.serverPerOp, r.server, r.generator, r.other, r.status});
    printCells(cells, out);
}

} // namespace bench
