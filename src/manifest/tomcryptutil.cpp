#include "manifest/tomcryptutil.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>

int hash_idx = -1;
int prng_idx = -1;

namespace {

// Public modulus length in bytes (1024 bits) and public exponent of new keys.
constexpr int KEY_SIZE = 128;
constexpr long KEY_EXPONENT = 65537;

struct FileCloser
{
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

FilePtr openForReading(const char* fileName)
{
    FilePtr f(std::fopen(fileName, "rb"));
    if (!f)
        throw crypt_exception(std::string("Cannot open file for reading: ") + fileName);
    return f;
}

FilePtr openForWriting(const char* fileName)
{
    FilePtr f(std::fopen(fileName, "wb"));
    if (!f)
        throw crypt_exception(std::string("Cannot open file for writing: ") + fileName);
    return f;
}

// Writes len bytes and closes the file; a short write or a failing close
// (full disk) must not leave a truncated key or signature behind unnoticed.
void writeAndClose(FilePtr f, const char* fileName, const unsigned char* buf, unsigned long len)
{
    const bool written = len == 0 || std::fwrite(buf, 1, len, f.get()) == len;
    const bool closed = std::fclose(f.release()) == 0;
    if (!written || !closed)
        throw crypt_exception(std::string("Cannot write file: ") + fileName);
}

} // namespace

crypt_exception::crypt_exception(std::string message)
    : message(std::move(message))
{
}

crypt_exception::~crypt_exception() = default;

const char* crypt_exception::what() const noexcept
{
    return message.c_str();
}

void crypt_init()
{
    if (register_prng(&sprng_desc) == -1)
        throw crypt_exception("Error registering sprng");
    // Only install the provider once: later checks may already be reading
    // the descriptor on pool threads.
    if (ltc_mp.name != ltm_desc.name)
        ltc_mp = ltm_desc;
    if (register_hash(&sha1_desc) == -1)
        throw crypt_exception("Error registering sha1");
    hash_idx = find_hash("sha1");
    prng_idx = find_prng("sprng");
}

void hash_msg(const unsigned char* in, unsigned long len, unsigned char* out)
{
    hash_state md;
    check_err("sha1_init", sha1_init(&md));
    check_err("sha1_process", sha1_process(&md, in, len));
    check_err("sha1_done", sha1_done(&md, out));
}

bool verify_msg(Rsa_key* key, const unsigned char* msg, unsigned long msgLen,
                const unsigned char* sig, unsigned long sigLen)
{
    unsigned char digest[HASH_SIZE];
    hash_msg(msg, msgLen, digest);
    int stat = 0;
    check_err("rsa_verify_hash",
              rsa_verify_hash_ex(sig, sigLen, digest, HASH_SIZE, LTC_PKCS_1_PSS, hash_idx,
                                 SALT_SIZE, &stat, key));
    return stat == 1;
}

void load_key(Rsa_key* key, const unsigned char* in, unsigned long len)
{
    const int err = rsa_import(in, len, key);
    if (err != CRYPT_OK) {
        // The import has released what it allocated; clear the record so
        // that free_key leaves it alone.
        std::memset(key, 0, sizeof(*key));
        check_err("rsa_import", err);
    }
}

void check_err(const char* name, int err)
{
    if (err == CRYPT_OK)
        return;
    throw crypt_exception(std::string(name) + ": " + error_to_string(err));
}

void sign_msg(Rsa_key* key, const unsigned char* msg, unsigned long msgLen,
              unsigned char* out, unsigned long* outLen)
{
    unsigned char digest[HASH_SIZE];
    hash_msg(msg, msgLen, digest);
    check_err("rsa_sign_hash",
              rsa_sign_hash_ex(digest, HASH_SIZE, out, outLen, LTC_PKCS_1_PSS, nullptr, prng_idx,
                               hash_idx, SALT_SIZE, key));
}

void create_key(Rsa_key* key)
{
    const int err = rsa_make_key(nullptr, prng_idx, KEY_SIZE, KEY_EXPONENT, key);
    if (err != CRYPT_OK) {
        std::memset(key, 0, sizeof(*key));
        check_err("rsa_make_key", err);
    }
}

void save_key(Rsa_key* key, int type, const char* fileName)
{
    // Zeroed so that the filler after the DER key never carries leftovers
    // of memory (a public key file must not leak anything else).
    unsigned char buf[KEY_FILE_SIZE] = {};
    unsigned long len = sizeof(buf);
    check_err("rsa_export", rsa_export(buf, &len, type, key));
    writeAndClose(openForWriting(fileName), fileName, buf, sizeof(buf));
}

void load_key(Rsa_key* key, const char* fileName)
{
    unsigned char buf[KEY_FILE_SIZE] = {};
    {
        FilePtr f = openForReading(fileName);
        std::fread(buf, 1, sizeof(buf), f.get());
        if (std::ferror(f.get()))
            throw crypt_exception(std::string("Cannot read file: ") + fileName);
    }
    load_key(key, buf, sizeof(buf));
    // The private key must not linger on the stack.
    zeromem(buf, sizeof(buf));
}

void free_key(Rsa_key* key)
{
    if (key->N == nullptr)
        return;
    rsa_free(key);
    std::memset(key, 0, sizeof(*key));
}

void read_file(const char* fileName, unsigned char** buf, unsigned long* len)
{
    FilePtr f = openForReading(fileName);
    unsigned char* data = nullptr;
    unsigned long size = 0;
    unsigned long capacity = 0;
    for (;;) {
        if (capacity - size < KEY_FILE_SIZE) {
            // Grow geometrically in steps of whole 2048-byte blocks.
            const unsigned long grown = capacity == 0 ? KEY_FILE_SIZE : capacity * 2;
            auto* bigger = static_cast<unsigned char*>(std::realloc(data, grown));
            if (!bigger) {
                std::free(data);
                throw crypt_exception(std::string("Out of memory reading file: ") + fileName);
            }
            data = bigger;
            capacity = grown;
        }
        const size_t n = std::fread(data + size, 1, KEY_FILE_SIZE, f.get());
        size += n;
        if (n < KEY_FILE_SIZE)
            break;
    }
    if (std::ferror(f.get())) {
        std::free(data);
        throw crypt_exception(std::string("Cannot read file: ") + fileName);
    }
    *buf = data;
    *len = size;
}

void write_file(const char* fileName, const unsigned char* buf, unsigned long len)
{
    writeAndClose(openForWriting(fileName), fileName, buf, len);
}
