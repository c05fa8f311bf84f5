#include "view/page.h"

#include <sys/random.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <random>

namespace view {

namespace {

std::string base64(const unsigned char* bytes, size_t size) {
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < size; i += 3) {
        unsigned v = unsigned(bytes[i]) << 16;
        if (i + 1 < size) v |= unsigned(bytes[i + 1]) << 8;
        if (i + 2 < size) v |= bytes[i + 2];
        out += alphabet[v >> 18 & 63];
        out += alphabet[v >> 12 & 63];
        out += i + 1 < size ? alphabet[v >> 6 & 63] : '=';
        out += i + 2 < size ? alphabet[v & 63] : '=';
    }
    return out;
}

void replace_all(std::string& text, const std::string& placeholder, const std::string& value) {
    for (size_t at = text.find(placeholder); at != std::string::npos; at = text.find(placeholder, at + value.size()))
        text.replace(at, placeholder.size(), value);
}

}  // namespace

std::string make_nonce() {
    unsigned char bytes[16];
    size_t have = 0;
    while (have < sizeof bytes) {
        ssize_t n = getrandom(bytes + have, sizeof bytes - have, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        have += static_cast<size_t>(n);
    }
    if (have < sizeof bytes) {
        // No kernel randomness (a very old kernel): still a nonce that differs each time.
        std::random_device device;
        std::mt19937_64 mix(device() ^ static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()));
        for (unsigned char& b : bytes) b = static_cast<unsigned char>(mix());
    }
    return base64(bytes, sizeof bytes);
}

std::string content_security_policy(const std::string& nonce, bool http_header) {
    std::string policy = "default-src 'none'; script-src 'nonce-" + nonce + "'; style-src 'nonce-" + nonce +
                         "'; img-src data:; connect-src 'self'; base-uri 'none'; form-action 'none'";
    if (http_header) policy += "; frame-ancestors 'none'";
    return policy;
}

std::string script_safe(const std::string& json) {
    std::string out;
    out.reserve(json.size() + json.size() / 16);
    for (char c : json) {
        if (c == '<')
            out += "\\u003c";
        else if (c == '>')
            out += "\\u003e";
        else if (c == '&')
            out += "\\u0026";
        else
            out += c;
    }
    return out;
}

PageParts page_parts(bool live, const std::string& nonce) {
    std::string page = page_template();
    replace_all(page, "{{NONCE}}", nonce);
    replace_all(page, "{{CSP}}", content_security_policy(nonce, false));
    replace_all(page, "{{LIVE}}", live ? "true" : "false");
    PageParts parts;
    size_t at = page.find("{{DATA}}");
    if (at == std::string::npos) at = page.size();
    parts.before = page.substr(0, at);
    parts.after = page.substr(std::min(page.size(), at + 8));
    return parts;
}

std::string render_page(const std::string& json_with_status, bool live, const std::string& nonce) {
    // The data goes in last, so that a placeholder's text inside it (a
    // beacon named "{{NONCE}}") stays as it is.
    PageParts parts = page_parts(live, nonce);
    return parts.before + script_safe(json_with_status) + parts.after;
}

}  // namespace view
