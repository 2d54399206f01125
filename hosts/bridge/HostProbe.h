#pragma once
// Starting a native host as a browser would and greeting it: the check that
// `ostrel bridge status` makes of each installed manifest.

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

namespace ostrel::bridge {

struct ProbeResult {
    bool answered = false;    // it answered the greeting with its versions
    std::string hostVersion;  // when answered
    int protocol = 0;         // when answered
    std::string problem;      // otherwise, what went wrong
};

// Runs `program` with `args`, sends one framed `hello` request and waits up
// to `timeout` for the reply, then closes its input and lets it end (or
// kills it when it does not end in time).
ProbeResult ProbeHost(const std::filesystem::path& program, const std::vector<std::string>& args,
                      std::chrono::milliseconds timeout);

}  // namespace ostrel::bridge
