#pragma once

// Thin layer over LibTomCrypt: library set-up, SHA-1, RSA key import and
// RSASSA-PSS signatures (SHA-1 as message and MGF1 hash, 8-byte salt).
// Every library error is thrown as crypt_exception.
//
// The updater itself only needs crypt_init, hash_msg, load_key (memory)
// and verify_msg; the rest serves the signing side (the publisher's tool).

#include <tomcrypt.h>

#include <exception>
#include <string>

typedef rsa_key Rsa_key;

// The one exception type of the program: a library error or a failed file
// access of the signing side, with a readable text.
class crypt_exception : public std::exception
{
public:
    explicit crypt_exception(std::string message);
    ~crypt_exception() override;
    const char* what() const noexcept override;

private:
    std::string message;
};

// Size of a key file and of the embedded public key: the DER key first,
// filler after it.
inline constexpr unsigned long KEY_FILE_SIZE = 2048;
// Length of a SHA-1 digest.
inline constexpr unsigned long HASH_SIZE = 20;
// Salt length of the PSS signatures.
inline constexpr unsigned long SALT_SIZE = 8;

// Indexes of SHA-1 and of the system PRNG ("sprng") in LibTomCrypt's
// registries; set by crypt_init, -1 before it.
extern int hash_idx;
extern int prng_idx;

// Registers the system PRNG and SHA-1 and installs LibTomMath as the
// big-number provider. Safe to call again: the indexes stay the same.
void crypt_init();

// Writes the 20-byte SHA-1 digest of in[0..len) to out.
void hash_msg(const unsigned char* in, unsigned long len, unsigned char* out);

// True when sig is a valid signature of msg under key. A well-formed
// signature of other data gives false; a malformed one (wrong length, bad
// encoding) throws.
bool verify_msg(Rsa_key* key, const unsigned char* msg, unsigned long msgLen,
                const unsigned char* sig, unsigned long sigLen);

// Imports a DER key (PKCS #1, public or private) from memory. Bytes after
// the DER structure are ignored, so a whole key-file image may be passed.
void load_key(Rsa_key* key, const unsigned char* in, unsigned long len);

// Returns when err is CRYPT_OK, else throws "name: <library text>".
void check_err(const char* name, int err);

// Signs msg; *outLen holds the capacity of out on entry and the signature
// length on return.
void sign_msg(Rsa_key* key, const unsigned char* msg, unsigned long msgLen,
              unsigned char* out, unsigned long* outLen);

// Generates a new 1024-bit key pair with public exponent 65537.
void create_key(Rsa_key* key);

// Writes the public (PK_PUBLIC) or private (PK_PRIVATE) part of key to a
// key file of exactly KEY_FILE_SIZE bytes: the DER key, then zero filler.
void save_key(Rsa_key* key, int type, const char* fileName);

// Reads a key file written by save_key.
void load_key(Rsa_key* key, const char* fileName);

// Releases what a successful load_key or create_key put into key and
// clears it; a zero-initialised or already freed key is left alone.
void free_key(Rsa_key* key);

// Reads a whole file into a malloc'ed buffer that the caller frees with
// free(); *len receives its size.
void read_file(const char* fileName, unsigned char** buf, unsigned long* len);

// Writes len bytes of buf to fileName, replacing its content.
void write_file(const char* fileName, const unsigned char* buf, unsigned long len);
