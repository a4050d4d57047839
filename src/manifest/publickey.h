#pragma once

// The public key built into the updater: the only key whose signatures it
// accepts. It has the key-file form: a DER RSAPublicKey at the start, filler
// after it; the import is given the whole array.
inline constexpr unsigned long PUBLIC_KEY_SIZE = 2048;
extern const unsigned char PUBLIC_KEY[PUBLIC_KEY_SIZE];
