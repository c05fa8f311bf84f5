// Response bodies made of pieces: the large ones rendered once per dump and
// shared by every response, the small ones made for one request.  Each piece
// is deflated once, on its own and ending on a byte boundary, so that the
// pieces of any body join into one gzip stream without compressing the
// large ones again.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace view {

class Piece {
public:
    explicit Piece(std::string text) : own_(std::move(text)), text_(own_) {}
    // Text that owner keeps alive, not copied.
    Piece(std::shared_ptr<const void> owner, const std::string& text) : owner_(std::move(owner)), text_(text) {}
    const std::string& text() const { return text_; }
    // Raw deflate data of the text, flushed to a byte boundary but not
    // final; made at the first call.
    const std::string& deflated() const;
    uint32_t crc() const;  // CRC-32 of the text; made with deflated()

private:
    void deflate_once() const;
    const std::string own_;
    const std::shared_ptr<const void> owner_;
    const std::string& text_;
    mutable std::once_flag once_;
    mutable std::string deflated_;
    mutable uint32_t crc_ = 0;
};

using PieceRef = std::shared_ptr<const Piece>;
PieceRef make_piece(std::string text);

struct Body {
    std::vector<PieceRef> pieces;
    size_t size() const;
    std::string text() const;  // the pieces joined (for tests and small bodies)
};

// The byte ranges that send the body gzip-compressed: a header, each
// piece's deflate data, the last block and the trailer.  header and trailer
// are filled in and must outlive the ranges.
struct Range {
    const char* data;
    size_t size;
};
std::vector<Range> gzip_ranges(const Body& body, std::string& header, std::string& trailer);
std::vector<Range> plain_ranges(const Body& body);

// True when an Accept-Encoding value admits gzip.
bool accepts_gzip(const char* accept_encoding);

}  // namespace view
