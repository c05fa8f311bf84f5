// Helpers of the control tests: the time stamp of a logged line as a
// regular expression, the command line run as the daemon gets it, and the
// globals the options set.
#pragma once

#include <string>
#include <vector>

#include "control/log.h"
#include "control/runtime.h"
#include "control/settings.h"

// A logged line on standard error: "Mmm dd hh:mm:ss.uuuuuu message".
inline const std::string STAMP = "[A-Z][a-z][a-z] [ 0-9][0-9] [0-9][0-9]:[0-9][0-9]:[0-9][0-9]\\.[0-9]{6} ";

// The text as a regular expression that matches it literally.
inline std::string escape(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (std::string(".[]()*+?{}|^$\\").find(c) != std::string::npos) out += '\\';
        out += c;
    }
    return out;
}

// Standard error holds exactly the one fatal line.
inline std::string fatal_only(const std::string& message) { return "^" + STAMP + escape(message) + "\n$"; }

inline void reset_globals() {
    settings = Settings{};
    runtime = Runtime{};
    logger_started = false;
}

// Runs the option walk on the words, after the program name.
inline void run_command_line(std::vector<std::string> words) {
    words.insert(words.begin(), "quillon");
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(&word[0]);
    argv.push_back(nullptr);
    process_command_line(static_cast<int>(words.size()), argv.data());
}
