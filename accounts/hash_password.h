// Crypted mailbox passwords: the form stored in a password line's password
// field. The system only ever makes hashes; it never checks a password:
// whatever reads tpasswd checks a login with the platform's crypt, which
// tells the scheme from the hash itself, so hashes made under an older
// scheme ("$1$", DES) keep working beside new ones.
//
// Owns: nothing lasting. Each salt is drawn fresh from the kernel's random
// source (getrandom), one byte per character of the 64-character alphabet
// "./0-9A-Za-z", so no two processes share a salt sequence.
//
// Routines:
//   hash_password       crypts the clear password with SHA-512 crypt ("$6$"
//                       and a 16-character salt); where the platform's crypt
//                       does not apply that scheme, with MD5 crypt ("$1$" and
//                       8 characters), and where it lacks that too, with the
//                       traditional DES scheme and 2 characters. A scheme
//                       counts as applied when the result starts with the
//                       setting handed to crypt. 0 with the whole hash in
//                       `hashed` (106 characters for "$6$", 34 for "$1$", 13
//                       for DES), or -18 when crypt gives no text, no scheme
//                       is applied or the random source fails; on -18
//                       `hashed` is untouched, so no clear or partial text
//                       can end up as a stored hash.
//   hash_password_with  the same with a given crypt function, so the choice
//                       between the schemes can be exercised on any
//                       platform. hash_password passes crypt(3).
//
// A crypt that reports failure with a failure token (a text starting with
// "*", as libxcrypt does) instead of a null pointer is treated as lacking
// the scheme; a null pointer ends the attempt at once.
#pragma once

#include <string>

using CryptFunction = char* (*)(const char* phrase, const char* setting);

int hash_password(const std::string& clear, std::string& hashed);

int hash_password_with(CryptFunction crypt_function, const std::string& clear,
                       std::string& hashed);
