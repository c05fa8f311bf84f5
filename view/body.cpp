#include "view/body.h"

#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <new>
#include <stdexcept>

namespace view {

namespace {
// Level 5 deflates a 60 MB scrape to a tenth in about half a second; higher
// levels buy a few percent for twice the time.
constexpr int LEVEL = 5;

void put_le32(std::string& out, uint32_t value) {
    for (int i = 0; i < 4; ++i) out += static_cast<char>(value >> (8 * i) & 0xFF);
}
}  // namespace

PieceRef make_piece(std::string text) { return std::make_shared<const Piece>(std::move(text)); }

const std::string& Piece::deflated() const {
    std::call_once(once_, [this] { deflate_once(); });
    return deflated_;
}

uint32_t Piece::crc() const {
    deflated();
    return crc_;
}

void Piece::deflate_once() const {
    // Bodies are tens of MB at most; zlib counts in 32 bits.
    if (text_.size() > (size_t(1) << 31)) throw std::length_error("body too large to compress");
    z_stream z{};
    // Raw deflate (negative window bits): the gzip header and trailer are
    // written once for the whole body.
    if (deflateInit2(&z, LEVEL, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) throw std::bad_alloc();
    std::string out(deflateBound(&z, static_cast<uLong>(text_.size())) + 64, '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text_.data()));
    z.avail_in = static_cast<uInt>(text_.size());
    z.next_out = reinterpret_cast<Bytef*>(&out[0]);
    z.avail_out = static_cast<uInt>(out.size());
    int result = deflate(&z, Z_SYNC_FLUSH);
    bool complete = result == Z_OK && z.avail_in == 0 && z.avail_out > 0;
    out.resize(z.total_out);
    deflateEnd(&z);
    if (!complete) throw std::runtime_error("deflate failed");
    deflated_ = std::move(out);
    crc_ = static_cast<uint32_t>(crc32(0L, reinterpret_cast<const Bytef*>(text_.data()), static_cast<uInt>(text_.size())));
}

size_t Body::size() const {
    size_t n = 0;
    for (const PieceRef& piece : pieces) n += piece->text().size();
    return n;
}

std::string Body::text() const {
    std::string out;
    out.reserve(size());
    for (const PieceRef& piece : pieces) out += piece->text();
    return out;
}

std::vector<Range> plain_ranges(const Body& body) {
    std::vector<Range> ranges;
    for (const PieceRef& piece : body.pieces) ranges.push_back({piece->text().data(), piece->text().size()});
    return ranges;
}

std::vector<Range> gzip_ranges(const Body& body, std::string& header, std::string& trailer) {
    // ID1 ID2, deflate, no flags, no time, no extra flags, OS unknown.
    header.assign("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\xff", 10);
    std::vector<Range> ranges{{header.data(), header.size()}};
    uLong crc = crc32(0L, Z_NULL, 0);
    uint64_t length = 0;
    for (const PieceRef& piece : body.pieces) {
        const std::string& data = piece->deflated();
        ranges.push_back({data.data(), data.size()});
        crc = crc32_combine(crc, piece->crc(), static_cast<z_off_t>(piece->text().size()));
        length += piece->text().size();
    }
    // An empty final block with fixed codes ends the deflate stream.
    trailer.assign("\x03\x00", 2);
    put_le32(trailer, static_cast<uint32_t>(crc));
    put_le32(trailer, static_cast<uint32_t>(length));
    ranges.push_back({trailer.data(), trailer.size()});
    return ranges;
}

bool accepts_gzip(const char* accept_encoding) {
    if (!accept_encoding) return false;
    // Tokens separated by commas, each with optional parameters; "gzip;q=0"
    // refuses it.
    std::string value(accept_encoding);
    size_t start = 0;
    while (start <= value.size()) {
        size_t end = value.find(',', start);
        if (end == std::string::npos) end = value.size();
        std::string item = value.substr(start, end - start);
        std::string token, params;
        size_t semicolon = item.find(';');
        token = item.substr(0, semicolon);
        if (semicolon != std::string::npos) params = item.substr(semicolon + 1);
        auto trim = [](std::string& s) {
            size_t a = s.find_first_not_of(" \t");
            size_t b = s.find_last_not_of(" \t");
            s = a == std::string::npos ? "" : s.substr(a, b - a + 1);
        };
        trim(token);
        trim(params);
        for (char& c : token) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (token == "gzip" || token == "x-gzip") {
            for (char& c : params) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            params.erase(std::remove(params.begin(), params.end(), ' '), params.end());
            return !(params.rfind("q=0", 0) == 0 && params.find_first_not_of("q=0.", 0) == std::string::npos);
        }
        start = end + 1;
    }
    return false;
}

}  // namespace view
