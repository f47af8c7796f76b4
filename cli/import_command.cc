// tessera user import [--dry-run] FILE|-: many mailboxes from CSV rows
// "address,password[,full name[,quota]]", each made as `user add` makes
// one. A failed row is reported with its line and the import goes on.
//
// Spreadsheets write their own first rows: a UTF-8 byte-order mark is
// passed over, and a first row that names the columns (in any case and
// order: address, email or e-mail; password; name or full name; quota)
// maps the columns of the rows after it. A header naming a column the
// import does not know, or one twice, or lacking the address or password,
// is reported and nothing is made.
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <sstream>

#include "accounts/account.h"
#include "base/address.h"
#include "base/mailbox.h"
#include "base/error.h"
#include "base/password_record.h"
#include "cli/command.h"
#include "cli/csv.h"
#include "cli/json.h"
#include "cli/mailbox.h"
#include "quota/quota_input.h"

namespace {

constexpr size_t kMinColumns = 2;
constexpr size_t kMaxColumns = 4;

struct Row {
  size_t line = 0;
  std::string address, password, gecos, quota;
};

// A row that passed its own checks, waiting to be made with the rows
// around it.
struct PendingRow {
  Row row;
  Mailbox mailbox;
};

struct ImportRun {
  bool dry_run = false;
  int created = 0;
  std::vector<std::string> failures;          // JSON objects
  std::map<std::string, size_t> first_lines;  // address -> its first row's line
  std::vector<PendingRow> pending;            // rows of one domain, in file order
};

// Rows made together: the password file changes once for all of them.
// Bounded, so that an import cut short leaves little half-made.
constexpr size_t kRowsPerChange = 1000;

// What creation would refuse, found without making anything.
int new_account_check(const Mailbox& mailbox, const Row& row) {
  return check_new_account(mailbox, row.password, mailbox_gecos(mailbox, row.gecos), nullptr);
}

// Each row of an import that changes the store leaves its own audit line,
// as `user add` does: the address, and "ok" or why the row failed.
void audit_row(const ImportRun& run, const Row& row, const std::string& result) {
  if (run.dry_run) return;
  // The address as the store took it, lower-cased and cut as a DomainName is.
  audit_change("user import", DomainName(row.address), result);
}

void record_failure(ImportRun& run, const Row& row, const std::string& message) {
  fprintf(stderr, "line %zu: %s: %s\n", row.line, row.address.c_str(), message.c_str());
  audit_row(run, row, message);
  run.failures.push_back(JsonObject()
                             .number("line", static_cast<int64_t>(row.line))
                             .text("address", row.address)
                             .text("message", message)
                             .object());
}

// One row's outcome, as `user add` and then `user quota` would report it.
void report_row(ImportRun& run, const Row& row, const NewAccount& account) {
  if (account.result != 0) return record_failure(run, row, error_string(account.result));
  if (account.quota_result != 0) {
    return record_failure(run, row,
                          std::string("created, but quota: ") + error_string(account.quota_result));
  }
  ++run.created;
  audit_row(run, row, "ok");
}

// Makes the waiting rows, then reports each in file order.
void make_pending(ImportRun& run) {
  if (run.pending.empty()) return;
  std::vector<NewAccount> accounts;
  accounts.reserve(run.pending.size());
  for (const PendingRow& p : run.pending) {
    accounts.push_back(new_mailbox_account(p.mailbox, p.row.password, p.row.gecos));
    accounts.back().quota = p.row.quota;
  }
  add_accounts(run.pending.front().mailbox.domain, accounts);
  for (size_t i = 0; i < accounts.size(); ++i) report_row(run, run.pending[i].row, accounts[i]);
  run.pending.clear();
}

// Reports are kept in file order: the rows waiting before this one are
// made and reported first.
void fail_row(ImportRun& run, const Row& row, const std::string& message) {
  make_pending(run);
  record_failure(run, row, message);
}

// What is wrong with the row before the store is asked, or "".
std::string row_problem(ImportRun& run, const Row& row, Mailbox& mailbox) {
  // A password line holds no line end; the store would make the mailbox's
  // directory before finding that out, and remove it again. Nor a NUL: the
  // password would be cut at it, the full name would carry it into the line.
  for (const std::string* text : {&row.address, &row.password, &row.gecos, &row.quota}) {
    if (text->find('\n') != std::string::npos) return "line end inside a field";
    if (text->find('\0') != std::string::npos) return "NUL byte inside a field";
  }
  // The quota text is the one all typed quotas follow; the store stores
  // what quota_input gives for it, and judges its length as typed.
  if (!row.quota.empty() && !quota_input(row.quota)) return quota_not_understood(row.quota);
  if (row.quota.size() > kQuotaTextMax) return error_string(kErrQuotaTooLong);
  if (int code = parse_mailbox(row.address, mailbox); code != 0) return error_string(code);
  std::string key = mailbox.user + "@" + mailbox.domain.str();
  auto [first, fresh] = run.first_lines.emplace(key, row.line);
  if (!fresh) return "duplicate of line " + std::to_string(first->second);
  return "";
}

void import_row(ImportRun& run, const Row& row) {
  Mailbox mailbox;
  if (std::string problem = row_problem(run, row, mailbox); !problem.empty()) {
    return fail_row(run, row, problem);
  }
  if (run.dry_run) {
    if (int code = new_account_check(mailbox, row); code != 0) {
      return fail_row(run, row, error_string(code));
    }
    ++run.created;
    return;
  }
  if (!run.pending.empty() && (run.pending.front().mailbox.domain != mailbox.domain ||
                               run.pending.size() >= kRowsPerChange)) {
    make_pending(run);
  }
  run.pending.push_back({row, mailbox});
}

enum Column { kAddress, kPassword, kFullName, kQuota, kColumns };

// Where each column stands in a row, and how many a row may have.
struct Layout {
  size_t index[kColumns] = {0, 1, 2, 3};
  size_t width = kMaxColumns;
};

const size_t kAbsent = static_cast<size_t>(-1);

std::string header_name(std::string_view field) {
  size_t start = field.find_first_not_of(" \t");
  size_t end = field.find_last_not_of(" \t");
  std::string name(start == std::string_view::npos ? "" : field.substr(start, end - start + 1));
  lower_name(name);
  return name;
}

std::optional<Column> column_named(std::string_view field) {
  std::string name = header_name(field);
  if (name == "address" || name == "email" || name == "e-mail") return kAddress;
  if (name == "password") return kPassword;
  if (name == "name" || name == "full name") return kFullName;
  if (name == "quota") return kQuota;
  return std::nullopt;
}

// A first row names the columns when it begins with a column's name and
// holds no address.
bool is_header(const CsvRow& row) {
  if (!row.error.empty() || row.fields.empty() || !column_named(row.fields[0])) return false;
  for (const std::string& field : row.fields) {
    if (field.find('@') != std::string::npos) return false;
  }
  return true;
}

// The layout a header gives, or what keeps it from placing its columns.
std::string place_header(const CsvRow& row, Layout& layout) {
  std::fill(std::begin(layout.index), std::end(layout.index), kAbsent);
  layout.width = row.fields.size();
  for (size_t i = 0; i < row.fields.size(); ++i) {
    std::optional<Column> column = column_named(row.fields[i]);
    if (!column) return "header: column not understood: " + row.fields[i];
    if (layout.index[*column] != kAbsent) return "header: column named twice: " + row.fields[i];
    layout.index[*column] = i;
  }
  if (layout.index[kAddress] == kAbsent) return "header: no address column";
  if (layout.index[kPassword] == kAbsent) return "header: no password column";
  return "";
}

// A header that cannot be placed stops the import before any row.
void fail_header(ImportRun& run, size_t line, const std::string& message) {
  fprintf(stderr, "line %zu: %s\n", line, message.c_str());
  if (!run.dry_run) audit_change("user import", "-", message);
  run.failures.push_back(JsonObject()
                             .number("line", static_cast<int64_t>(line))
                             .text("address", "")
                             .text("message", message)
                             .object());
}

// A header places two to four columns, each once.
std::string more_columns(size_t width) {
  static const char* const kWidths[] = {"two", "three", "four"};
  return std::string("more than ") + kWidths[width - kMinColumns] + " columns";
}

std::string field_at(const std::vector<std::string>& fields, size_t index) {
  return index < fields.size() ? fields[index] : "";
}

void import_text(ImportRun& run, std::string_view text) {
  constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
  if (text.starts_with(kByteOrderMark)) text.remove_prefix(kByteOrderMark.size());
  CsvReader reader(text);
  CsvRow csv;
  Layout layout;
  for (bool first = true; reader.next(csv); first = false) {
    if (first && is_header(csv)) {
      if (std::string problem = place_header(csv, layout); !problem.empty()) {
        return fail_header(run, csv.line, problem);
      }
      continue;
    }
    Row row;
    row.line = csv.line;
    const std::vector<std::string>& fields = csv.fields;
    row.address = field_at(fields, layout.index[kAddress]);
    if (!csv.error.empty()) {
      fail_row(run, row, csv.error);
    } else if (layout.index[kPassword] >= fields.size()) {
      fail_row(run, row, "no password column");
    } else if (fields.size() > layout.width) {
      fail_row(run, row, more_columns(layout.width));
    } else {
      row.password = fields[layout.index[kPassword]];
      row.gecos = field_at(fields, layout.index[kFullName]);
      row.quota = field_at(fields, layout.index[kQuota]);
      import_row(run, row);
    }
  }
  make_pending(run);
}

std::optional<std::string> read_source(const std::string& source) {
  std::ostringstream text;
  if (source == "-") {
    text << std::cin.rdbuf();
    if (std::cin.bad()) return std::nullopt;
    return text.str();
  }
  std::ifstream file(source, std::ios::binary);
  if (!file) return std::nullopt;
  text << file.rdbuf();
  if (file.bad()) return std::nullopt;
  return text.str();
}

void print_summary(const ImportRun& run) {
  int failed = static_cast<int>(run.failures.size());
  if (json_output()) {
    print_json(JsonObject()
                   .boolean("dry_run", run.dry_run)
                   .number("created", run.created)
                   .number("failed", failed)
                   .document("failures", json_array(run.failures))
                   .object());
    return;
  }
  fflush(stderr);
  printf(run.dry_run ? "%d would be created, %d failed\n" : "%d created, %d failed\n", run.created,
         failed);
}

}  // namespace

int import_command(const Words& words) {
  ImportRun run;
  std::vector<std::string> sources;
  for (const std::string& word : words) {
    if (word == "--dry-run") {
      run.dry_run = true;
    } else {
      sources.push_back(word);
    }
  }
  if (sources.size() != 1) return kUsageStatus;
  std::optional<std::string> text = read_source(sources[0]);
  if (!text) {
    if (!run.dry_run) audit_change("user import", sources[0], "cannot read");
    return report_failure(("tessera: cannot read " + sources[0]).c_str());
  }
  import_text(run, *text);
  print_summary(run);
  return run.failures.empty() ? 0 : 1;
}
