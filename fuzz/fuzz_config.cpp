// Configuration files and command lines, written by people.  The first byte
// chooses what the rest is:
//
//   bit 0 clear: a configuration file, read with read_config_file;
//   bit 0 set:   a command line up to the first NUL byte, split into words at
//                blanks and walked with process_command_line; what follows the
//                NUL is the file that any -c on that line names (a -c value
//                that starts with '!' names a file that does not exist).
//
// Every input starts from fresh settings.  The fatal paths end the process
// through end_process; here its hook throws instead, the throw is caught
// below and the next input goes on.  Files are written only in a private
// temporary directory; the options that name files (dump, pidfile, exec)
// only store their text at this stage.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "control/process.h"
#include "control/runtime.h"
#include "control/settings.h"
#include "fuzz/quiet_output.h"

namespace {

struct ProcessEnded {
    int status;
};

[[noreturn]] void throw_instead_of_exit(int status) { throw ProcessEnded{status}; }

// Files the option code opens while an input is applied.  A fatal path
// inside read_config_file leaves its file open (the real process exits
// there); they are closed after the input so the descriptors do not run out.
bool tracking = false;
std::set<FILE*>& open_files() {
    static std::set<FILE*>* files = new std::set<FILE*>();
    return *files;
}
size_t files_left_open = 0;

std::string directory;
std::string file_path;
std::string missing_path;

// The usage text and the fatal log lines of every input would fill the
// fuzzer's log.
QuietOutput* quiet = nullptr;

void remove_directory() {
    unlink(file_path.c_str());
    rmdir(directory.c_str());
}

void set_up() {
    const char* base = getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/quillon-fuzz-config-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (!mkdtemp(buffer.data())) {
        perror("mkdtemp");
        abort();
    }
    directory = buffer.data();
    file_path = directory + "/quillon.conf";
    missing_path = directory + "/no-such-file.conf";
    atexit(remove_directory);
    set_exit_hook(throw_instead_of_exit);
    quiet = new QuietOutput();
}

void write_file(const uint8_t* data, size_t size) {
    int fd = open(file_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0) {
        perror("open");
        abort();
    }
    while (size > 0) {
        ssize_t written = write(fd, data, size);
        if (written <= 0) {
            perror("write");
            abort();
        }
        data += written;
        size -= static_cast<size_t>(written);
    }
    close(fd);
}

bool is_blank(uint8_t c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

std::vector<std::string> split_words(const uint8_t* data, size_t size) {
    std::vector<std::string> words{"quillon"};
    size_t i = 0;
    while (i < size) {
        while (i < size && is_blank(data[i])) ++i;
        size_t start = i;
        while (i < size && !is_blank(data[i])) ++i;
        if (i > start) words.emplace_back(reinterpret_cast<const char*>(data + start), i - start);
    }
    return words;
}

// Points every -c value at the input's file.  The walk pairs an option word
// with the next word when that does not begin with '-', exactly as done here.
void redirect_config_files(std::vector<std::string>& words) {
    for (size_t i = 1; i < words.size(); ++i) {
        if (words[i][0] != '-') continue;
        if (i + 1 >= words.size() || words[i + 1][0] == '-') continue;
        if (words[i] == "-c") words[i + 1] = words[i + 1][0] == '!' ? missing_path : file_path;
        ++i;
    }
}

void run(const uint8_t* data, size_t size) {
    if (size == 0) return;
    bool command_line = data[0] & 1;
    ++data;
    --size;
    if (!command_line) {
        write_file(data, size);
        read_config_file(file_path.c_str());
        return;
    }
    const uint8_t* end = static_cast<const uint8_t*>(memchr(data, 0, size));
    size_t line_size = end ? static_cast<size_t>(end - data) : size;
    if (end) {
        write_file(end + 1, size - line_size - 1);
    } else {
        write_file(nullptr, 0);
    }
    std::vector<std::string> words = split_words(data, line_size);
    redirect_config_files(words);
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(&word[0]);
    argv.push_back(nullptr);
    process_command_line(static_cast<int>(words.size()), argv.data());
}

}  // namespace

extern "C" FILE* __real_fopen(const char* path, const char* mode);
extern "C" int __real_fclose(FILE* file);

extern "C" FILE* __wrap_fopen(const char* path, const char* mode) {
    FILE* file = __real_fopen(path, mode);
    if (file && tracking) open_files().insert(file);
    return file;
}

extern "C" int __wrap_fclose(FILE* file) {
    open_files().erase(file);
    return __real_fclose(file);
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    set_up();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    settings = Settings{};
    runtime = Runtime{};
    tracking = true;
    int status = 0;
    quiet->silence();
    try {
        run(data, size);
    } catch (const ProcessEnded& ended) {
        status = ended.status;
    }
    quiet->restore();
    tracking = false;
    if (status != 0 && status != 1 && status != 255) {
        fprintf(stderr, "option processing ended with status %d\n", status);
        abort();
    }
    for (FILE* file : open_files()) {
        if (files_left_open++ == 0)
            fprintf(stderr, "note: a fatal path left a configuration file open; closed by the fuzz target\n");
        __real_fclose(file);
    }
    open_files().clear();

    // What the options stored must hold what they promise.
    if (settings.dump_interval < 5) {
        fprintf(stderr, "dump interval %d below 5 seconds\n", settings.dump_interval);
        abort();
    }
    if (!settings.country_code.empty() && settings.country_code.size() != 2) {
        fprintf(stderr, "a country code of %zu bytes\n", settings.country_code.size());
        abort();
    }
    auto printable = [](const std::string& text) {
        for (unsigned char c : text) {
            if (c < 0x20 || c > 0x7E) return false;
        }
        return true;
    };
    bool announced_ok = printable(settings.beacon_name) && printable(settings.admin_contact) &&
                        printable(settings.country_code) && settings.beacon_name.size() <= TLV_VALUE_MAX &&
                        settings.admin_contact.size() <= TLV_VALUE_MAX;
    for (const auto& site : settings.websites) {
        announced_ok = announced_ok && printable(site.second) && site.second.size() <= TLV_VALUE_MAX &&
                       (site.first == WEBSITE_GENERIC || site.first == WEBSITE_LG || site.first == WEBSITE_MATRIX);
    }
    if (!announced_ok) {
        fprintf(stderr, "an announced setting is not printable or too long for its TLV\n");
        abort();
    }
    if (!settings.admin_contact.empty() && settings.admin_contact.find('@') == std::string::npos) {
        fprintf(stderr, "a contact without '@'\n");
        abort();
    }
    return 0;
}
