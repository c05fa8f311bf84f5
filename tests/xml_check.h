// A small, strict well-formedness check for the XML dump, shared by the unit
// tests and the fuzz targets.  It accepts a subset of XML that is enough for
// the dump: one root element, nested elements with double-quoted attributes,
// character data; no declaration, comment, CDATA or processing instruction.
// Stricter than XML itself in one respect: every byte must be printable ASCII,
// a tab or a line end, since remote text reaches the file and the file
// declares no encoding.
#pragma once

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace xml_check_detail {

inline bool is_name_start(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == ':';
}
inline bool is_name_char(char c) { return is_name_start(c) || (c >= '0' && c <= '9') || c == '-' || c == '.'; }
inline bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n'; }

// Code points XML 1.0 allows in a character reference.
inline bool is_xml_char(unsigned long c) {
    return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) || (c >= 0xE000 && c <= 0xFFFD) ||
           (c >= 0x10000 && c <= 0x10FFFF);
}

class Checker {
public:
    explicit Checker(const std::string& text) : s_(text) {}

    std::string run() {
        for (size_t i = 0; i < s_.size(); ++i) {
            unsigned char c = static_cast<unsigned char>(s_[i]);
            if ((c < 0x20 && c != '\t' && c != '\n') || c >= 0x7F) return at(i, "byte " + std::to_string(c) + " written raw");
        }
        bool root_seen = false;
        while (pos_ < s_.size()) {
            if (s_[pos_] == '<') {
                if (root_seen && stack_.empty()) return at(pos_, "content after the root element");
                std::string error = tag();
                if (!error.empty()) return error;
                root_seen = true;
            } else {
                if (stack_.empty() && !is_blank(s_[pos_])) return at(pos_, "text outside the root element");
                std::string error = character_data();
                if (!error.empty()) return error;
            }
        }
        if (!root_seen) return "no root element";
        if (!stack_.empty()) return "element <" + stack_.back() + "> not closed at the end";
        return "";
    }

private:
    std::string at(size_t where, const std::string& what) const {
        size_t from = where > 30 ? where - 30 : 0;
        return what + " at offset " + std::to_string(where) + " near \"" + s_.substr(from, 60) + "\"";
    }

    bool name(std::string& out) {
        if (pos_ >= s_.size() || !is_name_start(s_[pos_])) return false;
        size_t start = pos_;
        while (pos_ < s_.size() && is_name_char(s_[pos_])) ++pos_;
        out = s_.substr(start, pos_ - start);
        return true;
    }

    void skip_blanks() {
        while (pos_ < s_.size() && is_blank(s_[pos_])) ++pos_;
    }

    // At '&': one of the five named entities or a character reference.
    std::string reference() {
        size_t start = pos_;
        size_t end = s_.find(';', pos_);
        if (end == std::string::npos || end - pos_ > 12) return at(start, "'&' that starts no reference");
        std::string body = s_.substr(pos_ + 1, end - pos_ - 1);
        pos_ = end + 1;
        if (body == "lt" || body == "gt" || body == "amp" || body == "quot" || body == "apos") return "";
        if (body.size() < 2 || body[0] != '#') return at(start, "unknown entity &" + body + ";");
        bool hex = body[1] == 'x';
        size_t first = hex ? 2 : 1;
        if (first >= body.size() || body.size() - first > 7) return at(start, "bad character reference");
        unsigned long code = 0;
        for (size_t i = first; i < body.size(); ++i) {
            char c = body[i];
            int digit;
            if (c >= '0' && c <= '9') {
                digit = c - '0';
            } else if (hex && c >= 'a' && c <= 'f') {
                digit = c - 'a' + 10;
            } else if (hex && c >= 'A' && c <= 'F') {
                digit = c - 'A' + 10;
            } else {
                return at(start, "bad character reference");
            }
            code = code * (hex ? 16 : 10) + static_cast<unsigned long>(digit);
        }
        if (!is_xml_char(code)) return at(start, "reference to a character XML forbids");
        return "";
    }

    std::string character_data() {
        while (pos_ < s_.size() && s_[pos_] != '<') {
            if (s_[pos_] == '&') {
                std::string error = reference();
                if (!error.empty()) return error;
                continue;
            }
            if (s_[pos_] == '>' && pos_ >= 2 && s_.compare(pos_ - 2, 2, "]]") == 0) return at(pos_, "']]>' in text");
            ++pos_;
        }
        return "";
    }

    std::string attribute_value() {
        if (pos_ >= s_.size() || s_[pos_] != '"') return at(pos_, "attribute value not in double quotes");
        ++pos_;
        while (pos_ < s_.size() && s_[pos_] != '"') {
            char c = s_[pos_];
            if (c == '<') return at(pos_, "raw '<' in an attribute value");
            if (c == '&') {
                std::string error = reference();
                if (!error.empty()) return error;
                continue;
            }
            ++pos_;
        }
        if (pos_ >= s_.size()) return at(pos_, "attribute value not closed");
        ++pos_;
        return "";
    }

    std::string tag() {
        size_t start = pos_;
        ++pos_;  // '<'
        if (pos_ < s_.size() && s_[pos_] == '/') {
            ++pos_;
            std::string closing;
            if (!name(closing)) return at(start, "bad end tag");
            skip_blanks();
            if (pos_ >= s_.size() || s_[pos_] != '>') return at(start, "end tag not closed by '>'");
            ++pos_;
            if (stack_.empty() || stack_.back() != closing) return at(start, "end tag </" + closing + "> does not match");
            stack_.pop_back();
            return "";
        }
        std::string element;
        if (!name(element)) return at(start, "bad start tag");
        std::set<std::string> attributes;
        for (;;) {
            bool blank = pos_ < s_.size() && is_blank(s_[pos_]);
            skip_blanks();
            if (pos_ >= s_.size()) return at(start, "tag not closed");
            if (s_[pos_] == '>') {
                ++pos_;
                stack_.push_back(element);
                return "";
            }
            if (s_[pos_] == '/') {
                if (pos_ + 1 >= s_.size() || s_[pos_ + 1] != '>') return at(pos_, "'/' not followed by '>'");
                pos_ += 2;
                return "";
            }
            if (!blank) return at(pos_, "attributes not separated by white space");
            std::string attribute;
            if (!name(attribute)) return at(pos_, "bad attribute name");
            if (!attributes.insert(attribute).second) return at(pos_, "attribute " + attribute + " given twice");
            skip_blanks();
            if (pos_ >= s_.size() || s_[pos_] != '=') return at(pos_, "attribute without '='");
            ++pos_;
            skip_blanks();
            std::string error = attribute_value();
            if (!error.empty()) return error;
        }
    }

    const std::string& s_;
    size_t pos_ = 0;
    std::vector<std::string> stack_;
};

}  // namespace xml_check_detail

// Empty when the text is a well-formed document of the kind above; otherwise
// what is wrong and where.
inline std::string xml_check(const std::string& text) { return xml_check_detail::Checker(text).run(); }
