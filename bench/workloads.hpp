// The workloads. Each runs against a server that is already listening, is bounded in time and count, and
// returns its result as one JSON object.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace bench {

struct Target {
    std::string host = "127.0.0.1";
    unsigned short port = 0;
    int serverPid = 0; // 0: the server's CPU and memory are not read
    // Cross-instance runs: member B of each pair connects to this port (another instance), and the CPU time of
    // these processes (that instance, Redis) counts as the server's too. Memory is read from serverPid only.
    unsigned short portB = 0;
    std::vector<int> morePids;
};

struct Options {
    unsigned threads = 2;
    double duration = 5; // seconds measured (stream, pingpong)
    double warmup = 0.5; // seconds run before measuring (stream, pingpong)
    double timeout = 60; // the whole workload, set-up included
    double stall = 5;    // seconds without any progress that end a workload
    double settle = 1;   // seconds between the last join and the memory reading (idle, capacity)
    std::size_t pairs = 16;
    std::size_t window = 32;
    std::size_t frameBytes = 280;
    std::size_t clients = 4000;    // joins, idle (connections), capacity (target)
    std::size_t concurrency = 128; // clients connecting at once
    std::size_t sources = 0;       // 127.0.0.x source addresses to spread over; 0 = the kernel's choice
    bool churn = false;
    bool tls = false;      // wss instead of ws (joins, idle)
    bool syscalls = false; // count the server's system calls over the measured window (stream, pingpong, latency)
    // Offered per second, all pairs together: latency, round trips (required); stream, frames (0: as fast as the
    // window allows).
    double rate = 0;
    std::string roomPrefix;
    std::string token;    // joins: a join token every join carries (the server then checks one per join)
    std::string tokenAlg; // its algorithm, for the workload's name (joins-token-ES256, ...)
};

using Json = nlohmann::ordered_json;

Json runStream(const Target& target, const Options& options);
Json runPingPong(const Target& target, const Options& options);
Json runJoins(const Target& target, const Options& options);
Json runIdle(const Target& target, const Options& options);
Json runCapacity(const Target& target, const Options& options);
Json runLatency(const Target& target, const Options& options);

// A candidate-like text frame of exactly `bytes` bytes (at least the size of its fixed part).
std::string candidateFrame(std::size_t bytes);

} // namespace bench
