// The web page: one self-contained HTML file built into the program, filled
// with the data at each rendering.
#pragma once

#include <string>

namespace view {

// The page as built in, with its placeholders.
const std::string& page_template();

// base64 of 16 random bytes, new for every rendering.
std::string make_nonce();
// The Content-Security-Policy for a page with this nonce; the HTTP header
// adds frame-ancestors, which a <meta> element cannot carry.
std::string content_security_policy(const std::string& nonce, bool http_header);
// JSON text made safe inside a <script> element: '<', '>' and '&' as \u escapes.
std::string script_safe(const std::string& json);
// The page with the live flag and nonce filled in, split where the data goes
// (as script_safe JSON text with status).
struct PageParts {
    std::string before;
    std::string after;
};
PageParts page_parts(bool live, const std::string& nonce);
// The page with data (JSON text with status) and the live flag filled in.
std::string render_page(const std::string& json_with_status, bool live, const std::string& nonce);

}  // namespace view
