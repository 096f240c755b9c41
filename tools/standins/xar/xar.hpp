// Reader and writer of xar archives, the container of macOS flat installer packages:
// a big-endian header starting "xar!", a zlib-compressed XML table of contents (TOC), then
// the heap. The heap opens with the checksum of the compressed TOC and, in a signed
// package, an RSA signature over that checksum; the signer's certificate chain sits in the
// TOC. Every file's stored bytes are covered by checksums in the TOC, so the one signature
// covers the whole package.
#pragma once

#include <openssl/evp.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace bwv::xar {

using Bytes = std::vector<unsigned char>;

class Source {
public:
    virtual ~Source() = default;
    virtual uint64_t size() const = 0;
    // Reads exactly n bytes at off; false when they are not all there.
    virtual bool read(uint64_t off, void *buf, size_t n) const = 0;
};

class FileSource final : public Source {
public:
    explicit FileSource(const std::string &path);  // throws Error(Problem::unreadable)
    ~FileSource() override;
    FileSource(const FileSource &) = delete;
    FileSource &operator=(const FileSource &) = delete;
    uint64_t size() const override { return size_; }
    bool read(uint64_t off, void *buf, size_t n) const override;

private:
    int fd_ = -1;
    uint64_t size_ = 0;
};

class MemorySource final : public Source {
public:
    MemorySource(const void *data, size_t n) : data_(static_cast<const unsigned char *>(data)), n_(n) {}
    uint64_t size() const override { return n_; }
    bool read(uint64_t off, void *buf, size_t n) const override;

private:
    const unsigned char *data_;
    size_t n_;
};

enum class Problem {
    unreadable,  // the file cannot be opened or read
    not_flat,    // no xar header
    damaged,     // a header, TOC or heap reference that does not hold together
    checksum,    // a stored checksum does not match the bytes
};

class Error : public std::runtime_error {
public:
    Error(Problem p, const std::string &what) : std::runtime_error(what), problem(p) {}
    Problem problem;
};

struct FileData {
    uint64_t offset = 0;  // in the heap
    uint64_t length = 0;  // stored bytes
    uint64_t size = 0;    // bytes after decoding
    std::string encoding;
    std::string archived_style, archived_hex;
    std::string extracted_style, extracted_hex;
};

struct Entry {
    std::string path;  // relative, "/"-separated
    std::string type;  // "file", "directory", ...
    bool has_data = false;
    FileData data;
};

struct Package {
    uint16_t header_size = 0;
    uint64_t heap_start = 0;
    std::string toc_hash;  // "sha1", "sha256", ...
    Bytes toc_compressed;
    std::string toc_xml;
    uint64_t checksum_offset = 0, checksum_size = 0;
    bool has_signature = false;
    std::string signature_style;
    uint64_t signature_offset = 0, signature_size = 0;
    std::vector<Bytes> certificates;  // DER, signer first
    std::vector<Entry> entries;
};

// Reads the header and the TOC and checks that every heap reference lies inside the file
// and that the references together cover the whole heap. Throws Error.
Package parse(const Source &src);

// Digest of the compressed TOC, and whether it equals the checksum stored in the heap.
bool toc_checksum_matches(const Source &src, const Package &pkg, Bytes *digest);

// Checks every file's stored and decoded bytes against the TOC; *bad names the first
// file that fails.
bool file_checksums_match(const Source &src, const Package &pkg, std::string *bad);

Bytes read_heap(const Source &src, const Package &pkg, uint64_t off, uint64_t len);

// The decoded content of a file entry, at most limit bytes; throws Error.
std::string extract(const Source &src, const Package &pkg, const Entry &e, size_t limit);

const EVP_MD *digest_by_name(const std::string &name);  // nullptr when unknown

struct BuildOptions {
    std::string toc_hash = "sha1";
    bool compress = true;
    EVP_PKEY *key = nullptr;          // unsigned package when null
    std::vector<Bytes> certificates;  // DER, signer first
};

// Writes a flat package holding the contents of folder (regular files and folders).
// Throws std::runtime_error; nothing is left at out on failure.
void build(const std::string &folder, const std::string &out, const BuildOptions &opt);

}  // namespace bwv::xar
