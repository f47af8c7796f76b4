// Crypted mailbox passwords: the form stored in a password line's password
// field. The system only ever makes hashes; it never checks a password.
//
// Owns: the salt source, the C library's rand() sequence, seeded once per
// process the first time a salt is needed with the current time in seconds
// XOR (process id << 15), in 32-bit arithmetic.
//
// Routines:
//   hash_password       crypts the clear password with the MD5-based "$1$"
//                       scheme and a fresh 8-character salt; where the
//                       platform's crypt does not apply that scheme, with
//                       the traditional DES scheme and a 2-character salt.
//                       0 with the whole hash in `hashed` (34 characters for
//                       "$1$", 13 for DES), or -18 when crypt fails; on -18
//                       `hashed` is untouched, so no clear or partial text
//                       can end up as a stored hash.
//   hash_password_with  the same with a given crypt function, so the choice
//                       between the two schemes can be exercised on any
//                       platform. hash_password passes crypt(3).
//
// A crypt that reports failure with a failure token (a text starting with
// "*", as libxcrypt does) instead of a null pointer is treated as failing.
#pragma once

#include <string>

using CryptFunction = char* (*)(const char* phrase, const char* setting);

int hash_password(const std::string& clear, std::string& hashed);

int hash_password_with(CryptFunction crypt_function, const std::string& clear,
                       std::string& hashed);
