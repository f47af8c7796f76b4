// Mail addresses as the pages receive them, turned into the user and domain
// names that the store accepts, and the default domain that an address
// without a domain falls back on.
//
// Owns: the character rules for user and domain names, the 156-character
// name limit, and the process-wide copy of the default-domain file
// (etc/defaultdomain under the store home), which is read at most once per
// process; TESSERA_DOMAIN is looked at on every use.
//
// Routines:
//   lower_name            ASCII capitals to small letters, in place, and the
//                         name cut to 156 characters. Cannot fail.
//   user_name_ok          0 when every byte is a user-name character (the
//                         empty name included), else -1. Prints nothing.
//   domain_name_ok        the same for domain names (letters, digits, "-",
//                         "."). The store's own operations use it too.
//   new_user_name_ok      0 when a new mailbox may take the name: user-name
//                         characters, and no "." in front (such a directory
//                         would look like the store's own hidden work,
//                         ".NAME.PID"). -1 otherwise. Names already stored
//                         are never put to it: they stay usable.
//   new_domain_name_ok    0 when a new domain may take the name: domain-name
//                         characters in labels that are none of them empty
//                         (no "." in front, at the end or twice in a row)
//                         and none begin or end with "-", as a host name
//                         must. -1 otherwise; the empty name included.
//   split_address         lower-cases the caller's address in place, splits
//                         it at the first "@" (else "%", else "/") into user
//                         and domain, cuts each to buffer_size - 1
//                         characters and fills in the default domain when
//                         the address names none. 0, or -1 after printing
//                         "user invalid %s\n" or "domain invalid %s\n" on
//                         stderr; on -1 user and domain still hold the two
//                         split parts (no default applied).
//   apply_default_domain  an empty domain becomes the default domain (at
//                         most 96 characters, neither lower-cased nor
//                         checked); a non-empty one is left alone.
//   default_domain_file   the first line of the default-domain file, at most
//                         96 characters, without its "\n"; "" when the file
//                         is missing or unreadable. A missing file is no
//                         failure, and its absence is remembered too.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Every user, domain and mailbox-directory text handed to the store.
inline constexpr std::size_t kNameLimit = 156;
// The buffers the pages split an address into; a part keeps one byte less.
inline constexpr std::size_t kNameBufferSize = 156;
// The default domain, from the environment or the file.
inline constexpr std::size_t kDefaultDomainLimit = 96;

void lower_name(std::string& name);

int user_name_ok(std::string_view name);

int domain_name_ok(std::string_view name);

int new_user_name_ok(std::string_view name);

int new_domain_name_ok(std::string_view name);

int split_address(std::string& address, std::string& user, std::string& domain,
                  std::size_t buffer_size = kNameBufferSize);

void apply_default_domain(std::string& domain);

const std::string& default_domain_file();
