// Names as the store takes them: a domain name and a mailbox address made
// once, where a form field or a command-line word enters, and handed down
// by const reference from there. Nothing below the edge lower-cases again.
//
//   DomainName  the name as typed, lower-cased and cut to 156 characters as
//               lower_name does; an alias stays an alias (the assignment
//               lookup gives its real domain). Never fails.
//   Mailbox     a user name and its DomainName, the user lower-cased and
//               cut the same way. Neither part is checked here: the store
//               routines check them, in their own order and with their own
//               codes.
//   parse_address  an address as a form gives it, split by split_address
//               (which prints what it refuses): the Mailbox of its two
//               parts, the address lower-cased and cut as messages show it,
//               and split_address's 0 or -1 (on -1 the Mailbox holds the
//               two parts as split, no default domain applied).
#pragma once

#include <ostream>
#include <string>
#include <string_view>
#include <utility>

#include "base/address.h"

class DomainName {
 public:
  DomainName() = default;
  explicit DomainName(std::string typed) : name_(std::move(typed)) { lower_name(name_); }

  // A name the store wrote itself (the real domain of a users/assign
  // entry): already in the store's form, so taken as it is.
  static DomainName as_stored(std::string name) {
    DomainName stored;
    stored.name_ = std::move(name);
    return stored;
  }

  const std::string& str() const { return name_; }
  const char* c_str() const { return name_.c_str(); }
  operator const std::string&() const { return name_; }
  operator std::string_view() const { return name_; }
  bool empty() const { return name_.empty(); }
  std::size_t size() const { return name_.size(); }

 private:
  std::string name_;
};

// The name, or the default domain (TESSERA_DOMAIN, else the default-domain
// file) when it is empty, normalised as a typed name is; still empty when
// neither gives one.
inline DomainName with_default_domain(const DomainName& name) {
  if (!name.empty()) return name;
  std::string fallback;
  apply_default_domain(fallback);
  return DomainName(std::move(fallback));
}

inline bool operator==(const DomainName& a, std::string_view b) { return a.str() == b; }
inline bool operator==(const DomainName& a, const DomainName& b) { return a.str() == b.str(); }
inline bool operator!=(const DomainName& a, const DomainName& b) { return !(a == b); }
inline std::string operator+(std::string text, const DomainName& d) { return text += d.str(); }
inline std::string operator+(const DomainName& d, std::string_view text) {
  std::string joined = d.str();
  joined += text;
  return joined;
}
inline std::ostream& operator<<(std::ostream& out, const DomainName& d) { return out << d.str(); }

struct Mailbox {
  Mailbox() = default;
  Mailbox(std::string typed_user, DomainName typed_domain)
      : user(std::move(typed_user)), domain(std::move(typed_domain)) {
    lower_name(user);
  }

  std::string user;
  DomainName domain;
};

struct ParsedAddress {
  Mailbox mailbox;
  std::string address;
  int result = 0;
};

inline ParsedAddress parse_address(std::string text) {
  ParsedAddress parsed;
  std::string user, domain;
  parsed.result = split_address(text, user, domain);
  parsed.mailbox = Mailbox(std::move(user), DomainName(std::move(domain)));
  parsed.address = std::move(text);
  return parsed;
}
