// Fuzz target for the free-format reader: arbitrary bytes read as console
// answers, data file records, scratch texts and runs of single values.
//
// The first byte picks the plan of reads and whether the bytes come from
// memory or from a file read in blocks; the rest is the source. Reads go on
// until one fails or the source is used up. Checked on every read:
//   - a failure gives one of the reader's reasons, at a target of the read,
//     rendered as its report text, and names the source's channel and name;
//   - a read that succeeds takes at least one byte and leaves the source at
//     the start of a line;
//   - a read of one target accepts or refuses exactly what an independent
//     model of the syntax says, and stores the value the bytes spell (reals
//     checked against the C library's correctly rounded conversion);
//   - in reads of several targets, an accepted integer or real reads back
//     the same from its own rendering, and a text never holds a line end;
//   - a data record that the fast path for plain lines takes is read by the
//     free-format reader with the same five values, and the read ends
//     where the fast path's line ends. With bit 4 of the first byte, the
//     first line and every variant of it one edit away (a byte replaced,
//     inserted or deleted) are checked the same way.
// Hangs and memory faults are libFuzzer's and the sanitizers' to catch.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/failure.hpp"
#include "input/plain_record.hpp"
#include "input/reader.hpp"
#include "input/source.hpp"

namespace {

using vorda::ReadFailure;
using vorda::ReadReason;
using vorda::RuntimeFailure;
using vorda::Source;
using vorda::Target;

[[noreturn]] void finding(const std::string& what, std::string_view bytes) {
  const std::size_t empty = std::min(bytes.find_first_not_of('\n'), bytes.size());
  std::fprintf(stderr, "reader_fuzz: %s\n  remaining source (%zu bytes): %zu LF, then [", what.c_str(),
               bytes.size(), empty);
  bytes.remove_prefix(empty);
  for (unsigned char c : bytes.substr(0, 200)) {
    if (c >= 32 && c < 127) {
      std::fputc(c, stderr);
    } else {
      std::fprintf(stderr, "\\x%02x", c);
    }
  }
  std::fprintf(stderr, "]\n");
  std::abort();
}

// ---- targets of one read ----

// A target with its value before the read: numbers hold a marker that the
// bytes could spell too, texts hold a byte that no accepted text can hold.
struct Slot {
  char kind;           // 'i', 'r' or 'c'
  std::size_t length;  // texts
  std::int32_t i = -999;
  double r = -999.0;
  std::string c;
};

Slot slot(char kind, std::size_t length = 0) {
  Slot s{kind, length, -999, -999.0, {}};
  if (kind == 'c') s.c.assign(length, '\n');
  return s;
}

std::vector<Target> targets_of(std::vector<Slot>& slots) {
  std::vector<Target> targets;
  for (Slot& s : slots) {
    if (s.kind == 'i') targets.push_back(Target::integer(s.i));
    if (s.kind == 'r') targets.push_back(Target::real(s.r));
    if (s.kind == 'c') targets.push_back(Target::text(s.c));
  }
  return targets;
}

// ---- reasons ----

const char* reason_name(vorda::ReadReason r) {
  switch (r) {
    case ReadReason::EndOfFile:
      return "EndOfFile";
    case ReadReason::BadInteger:
      return "BadInteger";
    case ReadReason::IntegerOverflow:
      return "IntegerOverflow";
    case ReadReason::BadReal:
      return "BadReal";
    case ReadReason::BadText:
      return "BadText";
    case ReadReason::ZeroRepeat:
      return "ZeroRepeat";
    case ReadReason::RepeatOverflow:
      return "RepeatOverflow";
    case ReadReason::WrongKind:
      return "WrongKind";
  }
  return "unknown";
}

// A failure of a read of `targets` targets: a known reason at one of them
// (a wrong kind between two different kinds), reported with its own text.
bool is_well_formed(const vorda::ReadError& e, std::size_t targets) {
  const ReadFailure& f = e.failure();
  if (e.reason() != vorda::describe(f)) return false;
  if (f.reason == ReadReason::EndOfFile) return f.item <= targets;
  if (f.item < 1 || f.item > targets) return false;
  return f.reason != ReadReason::WrongKind || f.found != f.wanted;
}

// ---- a model of one read of one target ----

bool is_blank(int c) { return c == ' ' || c == '\t'; }
bool is_line_end(int c) { return c == '\n' || c == '\r'; }
bool is_digit(int c) { return c >= '0' && c <= '9'; }
bool is_comma(int c) { return c == ',' || c == ';'; }
bool is_separator(int c) { return is_blank(c) || is_line_end(c) || is_comma(c) || c == '/'; }
int lower(int c) { return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c; }

// What a read of one target must do with the bytes: fail with a reason, or
// succeed and either keep the target's value or store `value`.
struct Expected {
  std::optional<ReadReason> reason;  // none: the read succeeds
  bool keeps = false;                // a null value
  std::int32_t integer = 0;
  double real = 0.0;
  std::string text;  // the whole text value, before cutting to the target
};

Expected failure(ReadReason reason) {
  Expected e;
  e.reason = reason;
  return e;
}

// The syntax of an integer: the value, or why not.
std::optional<ReadReason> integer_syntax(std::string_view token, std::int32_t& value) {
  std::size_t k = 0;
  bool negative = false;
  if (k < token.size() && (token[k] == '+' || token[k] == '-')) negative = token[k++] == '-';
  if (k == token.size()) return ReadReason::BadInteger;
  std::uint64_t magnitude = 0;
  for (; k < token.size(); ++k) {
    if (!is_digit(static_cast<unsigned char>(token[k]))) return ReadReason::BadInteger;
    if (magnitude <= 2147483647) magnitude = magnitude * 10 + static_cast<std::uint64_t>(token[k] - '0');
  }
  if (magnitude > 2147483647) return ReadReason::IntegerOverflow;
  value = static_cast<std::int32_t>(negative ? -static_cast<std::int64_t>(magnitude)
                                             : static_cast<std::int64_t>(magnitude));
  return std::nullopt;
}

// The syntax of a real: the value, whether it may stand right before the end
// of the source, or nothing when the token is not a real.
std::optional<double> real_syntax(std::string_view token, bool repeated, bool& may_end) {
  std::size_t k = 0;
  bool negative = false, sign = false;
  if (k < token.size() && (token[k] == '+' || token[k] == '-')) {
    negative = token[k++] == '-';
    sign = true;
  }
  std::string rest;
  for (std::size_t j = k; j < token.size(); ++j)
    rest += static_cast<char>(lower(static_cast<unsigned char>(token[j])));
  if (rest == "inf" || rest == "infinity") {
    may_end = false;
    return negative ? -HUGE_VAL : HUGE_VAL;
  }
  if (rest.starts_with("nan")) {
    bool ok = rest.size() == 3 || (rest[3] == '(' && rest.back() == ')' && rest.find(')') == rest.size() - 1);
    if (!ok) return std::nullopt;
    may_end = false;
    return negative ? -std::nan("") : std::nan("");
  }
  // digits [. digits], with a digit or a point; then e|E|d|D [sign] digits,
  // or sign digits.
  std::string text = negative ? "-" : "";
  std::size_t digits = 0;
  for (; k < token.size() && is_digit(static_cast<unsigned char>(token[k])); ++k, ++digits) text += token[k];
  bool point = false;
  if (k < token.size() && token[k] == '.') {
    point = true;
    text += '.';
    ++k;
    for (; k < token.size() && is_digit(static_cast<unsigned char>(token[k])); ++k) text += token[k];
  }
  if (digits == 0 && !point) return std::nullopt;
  if (text == "." || text == "-.") text.insert(text.size() - 1, "0");
  bool exponent = false;
  if (k < token.size()) {
    char c = token[k];
    if (c == 'e' || c == 'E' || c == 'd' || c == 'D') {
      ++k;
    } else if (c != '+' && c != '-') {
      return std::nullopt;
    }
    exponent = true;
    text += 'e';
    if (k < token.size() && (token[k] == '+' || token[k] == '-')) text += token[k++];
    if (k == token.size()) return std::nullopt;
    for (; k < token.size(); ++k) {
      if (!is_digit(static_cast<unsigned char>(token[k]))) return std::nullopt;
      text += token[k];
    }
  }
  may_end = !exponent && (sign || repeated || (point && digits > 0));
  return std::strtod(text.c_str(), nullptr);
}

// Whether the reader, taking `token` from the left, could still be inside a
// real when the token ends: some completion makes it a real.
bool token_is_real_prefix(std::string_view token) {
  static const char* const kCompletions[] = {"0", ")",  "n",   "an",   "f",    "nf",
                                             "y", "ty", "ity", "nity", "inity"};
  for (const char* completion : kCompletions) {
    bool may_end = false;
    if (real_syntax(std::string(token) + completion, false, may_end)) return true;
  }
  return false;
}

// What one read of a target of `kind` makes of `in`.
Expected model(std::string_view in, char kind) {
  const std::size_t n = in.size();
  auto at = [&](std::size_t p) { return p < n ? static_cast<int>(static_cast<unsigned char>(in[p])) : -1; };
  auto has_lf_from = [&](std::size_t p) { return p < n && in.find('\n', p) != std::string_view::npos; };
  // After a null value or a separator that is not a line end, the rest of
  // the line is skipped up to the next LF.
  auto rest_of_line = [&](std::size_t p, Expected keep) {
    return has_lf_from(p) ? keep : failure(ReadReason::EndOfFile);
  };
  Expected null_value;
  null_value.keeps = true;

  std::size_t p = 0;
  while (is_blank(at(p))) ++p;
  bool after_comma = false;
  if (is_line_end(at(p))) {
    while (is_blank(at(p)) || is_line_end(at(p))) ++p;
    if (is_comma(at(p))) {
      ++p;
      after_comma = true;
    }
  }
  if (after_comma) {
    while (is_blank(at(p))) ++p;
    if (is_line_end(at(p)))
      while (is_blank(at(p)) || is_line_end(at(p))) ++p;
  }
  if (at(p) < 0) return failure(ReadReason::EndOfFile);
  if (is_comma(at(p)) || at(p) == '/') return rest_of_line(p + 1, null_value);

  // The separator after a value that ends at q.
  auto after_value = [&](std::size_t q, bool may_end, Expected value) {
    if (at(q) < 0) return may_end ? value : failure(ReadReason::EndOfFile);
    // Blanks before the end: the rest of their line has no LF.
    while (is_blank(at(q))) ++q;
    if (at(q) < 0) return failure(ReadReason::EndOfFile);
    if (is_line_end(at(q))) return value;
    return rest_of_line(q + 1, value);  // a comma or a slash
  };

  // A repeat count.
  bool repeated = false;
  {
    std::size_t q = p;
    while (is_digit(at(q))) ++q;
    if (q > p && at(q) == '*') {
      std::string_view count = in.substr(p, q - p);
      while (count.size() > 1 && count[0] == '0') count.remove_prefix(1);
      if (count == "0") return failure(ReadReason::ZeroRepeat);
      if (count.size() > 9 || (count.size() == 9 && count > "200000000"))
        return failure(ReadReason::RepeatOverflow);
      p = q + 1;
      repeated = true;
      if (at(p) < 0 || is_separator(at(p))) return after_value(p, false, null_value);
    }
  }

  if (kind == 'c' && (at(p) == '\'' || at(p) == '"') && (repeated || !is_digit(at(p)))) {
    const int quote = at(p);
    Expected value;
    std::size_t q = p + 1;
    for (;;) {
      if (at(q) < 0) return failure(ReadReason::EndOfFile);
      if (is_line_end(at(q))) {
        ++q;
        continue;
      }
      if (at(q) == quote) {
        if (at(q + 1) != quote) break;
        ++q;
      }
      value.text += in[q++];
    }
    ++q;
    if (at(q) >= 0 && !is_separator(at(q))) return failure(ReadReason::BadText);
    return after_value(q, false, value);
  }

  std::size_t end = p;
  while (at(end) >= 0 && !is_separator(at(end))) ++end;
  const std::string_view token = in.substr(p, end - p);
  Expected value;
  if (kind == 'c') {
    value.text = token;
    return after_value(end, false, value);
  }
  if (kind == 'i') {
    if (auto bad = integer_syntax(token, value.integer)) {
      // A value cut short by the end of the source is an end of file.
      bool prefix = (token.empty() || token == "+" || token == "-" ||
                     token.find_first_not_of("0123456789", token[0] == '+' || token[0] == '-') ==
                         std::string_view::npos);
      if (end == n && prefix) return failure(ReadReason::EndOfFile);
      return failure(*bad);
    }
    if (end == n) return failure(ReadReason::EndOfFile);
    return after_value(end, false, value);
  }
  bool may_end = false;
  std::optional<double> real = real_syntax(token, repeated, may_end);
  if (!real) {
    // Cut short by the end of the source: a prefix of some real.
    bool cut = end == n && token_is_real_prefix(token);
    return failure(cut ? ReadReason::EndOfFile : ReadReason::BadReal);
  }
  value.real = *real;
  return after_value(end, may_end, value);
}

}  // namespace

namespace {

// ---- checks of one read ----

struct Reader {
  std::string_view bytes;  // the whole source
  Source in;
  int fd = -1;  // the file under `in`, or -1 for bytes in memory

  // The bytes not yet taken. A CR that ended the last line may still owe
  // the LF after it; peek() settles that first.
  std::string_view remaining() {
    if (in.peek() < 0) return {};
    std::size_t read = bytes.size();
    if (fd >= 0) read = static_cast<std::size_t>(::lseek(fd, 0, SEEK_CUR));
    return bytes.substr(read - in.buffered().size());
  }
};

bool same_real(double a, double b) {
  if (std::isnan(a) || std::isnan(b))
    return std::isnan(a) && std::isnan(b) && std::signbit(a) == std::signbit(b);
  return std::memcmp(&a, &b, sizeof a) == 0;
}

std::string shown(const Slot& s) {
  char buf[64];
  if (s.kind == 'i') return std::to_string(s.i);
  if (s.kind == 'r') {
    std::snprintf(buf, sizeof buf, "%.17g", s.r);
    return buf;
  }
  return "[" + s.c + "]";
}

// An integer or a real read back from its own rendering.
void check_reads_back(const Slot& s, std::string_view rest) {
  Slot again = slot(s.kind);
  std::string text = shown(s) + "\n";
  Source in = Source::from_bytes(text, 1, "again");
  std::vector<Slot> one{again};
  std::vector<Target> targets = targets_of(one);
  try {
    vorda::read_list(in, targets);
  } catch (const RuntimeFailure& f) {
    finding("accepted value " + shown(s) + " does not read back: " + f.reason(), rest);
  }
  bool same = s.kind == 'i' ? one[0].i == s.i : same_real(one[0].r, s.r);
  if (!same) finding("accepted value " + shown(s) + " reads back as " + shown(one[0]), rest);
}

void check_against_model(const Slot& s, const Expected& want, const ReadFailure* failed,
                         std::string_view rest) {
  const std::string wanted = want.reason ? reason_name(*want.reason) : "success";
  if (failed != nullptr) {
    // A read of one target fails at its only item.
    const bool item_ok = failed->item == 1;
    if (want.reason != failed->reason || !item_ok)
      finding("read of '" + std::string(1, s.kind) + "' failed with " + reason_name(failed->reason) +
                  " at item " + std::to_string(failed->item) + ", the syntax says " + wanted,
              rest);
    return;
  }
  if (want.reason)
    finding("read of '" + std::string(1, s.kind) + "' gave " + shown(s) + ", the syntax says " + wanted,
            rest);
  Slot expected = slot(s.kind, s.length);
  if (!want.keeps) {
    expected.i = want.integer;
    expected.r = want.real;
    expected.c = want.text.substr(0, s.length);
    expected.c.resize(s.length, ' ');
  }
  bool same = s.kind == 'i'   ? s.i == expected.i
              : s.kind == 'r' ? same_real(s.r, expected.r)
                              : s.c == expected.c;
  if (!same) finding("read stored " + shown(s) + ", the bytes say " + shown(expected), rest);
}

std::vector<Slot> shape(const char* kinds) {
  std::vector<Slot> slots;
  for (const char* k = kinds; *k != '\0'; ++k) {
    if (*k == ' ') continue;
    std::size_t length = 0;
    const char kind = *k;
    while (k[1] >= '0' && k[1] <= '9') length = length * 10 + static_cast<std::size_t>(*++k - '0');
    slots.push_back(slot(kind, length));
  }
  return slots;
}

// The fast path's record and line length for the first line of `rest` (0:
// not plain), as load_series would take it from the whole lines buffered.
std::size_t plain_record(std::string_view rest, vorda::PlainRecord& record) {
  return vorda::parse_plain_record(rest.substr(0, rest.rfind('\n') + 1), record);
}

// The five values of a record read by the free-format reader.
bool same_record(const vorda::PlainRecord& fast, const std::vector<Slot>& slots) {
  return slots.size() == 5 && slots[0].i == fast.t && slots[1].i == fast.d && slots[2].i == fast.m &&
         slots[3].i == fast.yr && same_real(slots[4].r, fast.x);
}

std::string shown(const vorda::PlainRecord& r) {
  char buf[128];
  std::snprintf(buf, sizeof buf, "%d %d %d %d %.17g", r.t, r.d, r.m, r.yr, r.x);
  return buf;
}

// A line that the fast path takes, read again by the free-format reader.
void check_plain_line(const std::string& bytes) {
  vorda::PlainRecord fast{};
  const std::size_t length = plain_record(bytes, fast);
  if (length == 0) return;
  std::vector<Slot> slots = shape("i i i i r");
  std::vector<Target> targets = targets_of(slots);
  Source in = Source::from_bytes(bytes, 1, "data.txt");
  try {
    vorda::read_list(in, targets);
  } catch (const RuntimeFailure& f) {
    finding("the fast path read " + shown(fast) + ", the reader failed: " + f.reason(), bytes);
  }
  in.peek();
  const std::size_t used = bytes.size() - in.buffered().size();
  if (!same_record(fast, slots) || used != length)
    finding("the fast path read " + shown(fast) + " from " + std::to_string(length) + " bytes, the reader " +
                shown(slots[0]) + " " + shown(slots[1]) + " " + shown(slots[2]) + " " + shown(slots[3]) +
                " " + shown(slots[4]) + " from " + std::to_string(used),
            bytes);
}

// The first line of `bytes` (at most 40 bytes of it) and its variants one
// edit away, over the bytes that decide whether a line is plain.
void check_plain_variants(std::string_view bytes) {
  static constexpr char kEdits[] = {' ', '\t', ',', ';', '/', '\r', '\n', '.', '+', '-',
                                    'e', 'd',  '*', '0', '8', '9',  '\'', '"', 'i', '\0'};
  std::string line(bytes.substr(0, std::min(bytes.find('\n'), std::size_t{40})));
  line += '\n';
  check_plain_line(line);
  for (std::size_t k = 0; k < line.size(); ++k) {
    std::string deleted = line;
    deleted.erase(k, 1);
    deleted += '\n';
    check_plain_line(deleted);
    for (const char c : kEdits) {
      std::string replaced = line;
      replaced[k] = c;
      replaced += '\n';
      check_plain_line(replaced);
      std::string inserted = line;
      inserted.insert(k, 1, c);
      check_plain_line(inserted);
    }
  }
}

// One read of `slots` from `r`; false when it failed.
bool checked_read(Reader& r, std::vector<Slot> slots) {
  const std::string_view rest = r.remaining();
  std::optional<Expected> want;
  if (slots.size() == 1) want = model(rest, slots[0].kind);
  const bool record = slots.size() == 5 && slots[0].kind == 'i' && slots[1].kind == 'i' &&
                      slots[2].kind == 'i' && slots[3].kind == 'i' && slots[4].kind == 'r';
  vorda::PlainRecord fast{};
  const std::size_t plain_length = record ? plain_record(rest, fast) : 0;

  std::vector<Target> targets = targets_of(slots);
  std::optional<ReadFailure> failed;
  try {
    vorda::read_list(r.in, targets);
  } catch (const vorda::ReadError& e) {
    if (e.unit() != r.in.unit() || e.file() != r.in.name())
      finding("failure names unit " + std::to_string(e.unit()) + " '" + e.file() + "'", rest);
    if (!is_well_formed(e, slots.size())) finding("malformed failure \"" + e.reason() + "\"", rest);
    failed = e.failure();
  } catch (const RuntimeFailure& f) {
    finding("a failure that is not the reader's: " + f.reason(), rest);
  }
  if (want) check_against_model(slots[0], *want, failed ? &*failed : nullptr, rest);
  if (failed && plain_length > 0) finding("the fast path read " + shown(fast) + ", the reader failed", rest);
  if (failed) return false;

  if (rest.empty()) finding("a read at the end of the source succeeded", rest);
  const std::string_view after = r.remaining();
  const std::size_t used = rest.size() - after.size();
  if (plain_length > 0 && (!same_record(fast, slots) || used != plain_length))
    finding("the fast path read " + shown(fast) + " from " + std::to_string(plain_length) +
                " bytes, the reader took " + std::to_string(used),
            rest);
  if (used == 0) finding("a read took no byte", rest);
  const char last = rest[used - 1];
  if (!after.empty() && last != '\n' && last != '\r')
    finding("a read did not end at the start of a line", rest);

  const std::string_view taken = rest.substr(0, used);
  for (const Slot& s : slots) {
    if (s.kind == 'c') {
      bool untouched = s.c.find_first_not_of('\n') == std::string::npos;
      if (!untouched && s.c.find_first_of("\r\n") != std::string::npos)
        finding("a text holds a line end: " + shown(s), rest);
    } else if (s.kind == 'i') {
      if (s.i == -999) continue;
      std::string digits = std::to_string(s.i < 0 ? -static_cast<std::int64_t>(s.i) : s.i);
      if (taken.find(digits) == std::string_view::npos)
        finding("integer " + digits + " is not among the bytes read", rest);
      check_reads_back(s, rest);
    } else if (!(s.r == -999.0)) {
      check_reads_back(s, rest);
    }
  }
  return true;
}

// The plans: each a cycle of read shapes on one kind of source.
struct Plan {
  int unit;
  const char* name;
  std::vector<const char*> reads;  // cycled; empty entry ends the plan
};

const Plan kPlans[] = {
    {5, "stdin", {"c80", "i", "c1", "r", "i", ""}},  // the dialogue's answers
    {1, "data.txt", {"i i i i r"}},                  // records of the data file
    {1, "", {"c20", "c7"}},                          // the scratch file's texts
    {5, "stdin", {"i"}},
    {5, "stdin", {"r"}},
    {5, "stdin", {"c1", "c2", "c7", "c20", "c80"}},
    {1, "data.txt", {"i", "r", "c5", "c1"}},
    {1, "mixed", {"r c3 i", "c1 c1", "i r", "c20 r i c2", "r r r", "c2 c2 c2 c2"}},
};
static_assert(sizeof kPlans / sizeof kPlans[0] == 8);

// A file whose first block of 64 KiB ends `offset` bytes into `bytes`: empty
// lines, then the bytes, so that values, line ends and CR LF pairs fall
// across the boundary where the source reads its next block.
int file_across_block_boundary(std::string& bytes, std::size_t offset) {
  constexpr std::size_t kBlock = 64 * 1024;
  bytes.insert(0, kBlock - std::min(offset, bytes.size()), '\n');
  int fd = ::memfd_create("reader_fuzz", 0);
  if (fd < 0 || ::write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()) ||
      ::lseek(fd, 0, SEEK_SET) != 0) {
    std::perror("reader_fuzz: memfd");
    std::abort();
  }
  return fd;
}

}  // namespace

// The first byte: the plan (low three bits), whether the source is a file
// read in blocks (bit 3), whose first block ends as many bytes into the rest
// as the second byte says, and whether the first line's variants are checked
// on both record paths (bit 4).
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const Plan& plan = kPlans[data[0] % 8];
  const bool from_file = (data[0] & 8) != 0 && size >= 2;
  const std::size_t skip = from_file ? 2 : 1;
  std::string bytes(reinterpret_cast<const char*>(data) + skip, size - skip);
  int fd = -1;
  if (from_file) fd = file_across_block_boundary(bytes, data[1]);
  if ((data[0] & 16) != 0) check_plain_variants(bytes.substr(from_file ? bytes.size() - (size - skip) : 0));
  Reader r{bytes,
           fd >= 0 ? Source(fd, plan.unit, plan.name) : Source::from_bytes(bytes, plan.unit, plan.name), fd};
  for (std::size_t k = 0; k <= bytes.size(); ++k) {
    const char* read = plan.reads[k % plan.reads.size()];
    if (*read == '\0') break;
    if (!checked_read(r, shape(read))) break;
  }
  return 0;
}
