#include "zantu/providers/common/tool.hpp"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "zantu/core/child.hpp"
#include "zantu/core/error.hpp"
#include "zantu/core/json.hpp"
#include "zantu/core/utf8.hpp"

namespace zantu::providers::common {
namespace {

// Python's own name for UTF-8, and the handler that makes an unencodable
// character an error instead of a dropped or replaced one.
constexpr std::string_view kIoEncoding = "utf-8:strict";
// The locale reaches Python under -I too. Where C.UTF-8 is not installed,
// glibc keeps the C locale, for which Python turns on its UTF-8 mode itself.
constexpr std::string_view kLocale = "C.UTF-8";

std::span<const std::uint8_t> bytes(std::string_view s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

// The first place of `needle` in `text` at or after `from`, as
// string_view::find gives it, but by glibc's memmem, which skips ahead by
// pairs of bytes: find calls memchr and compares at every byte equal to the
// needle's first, so a text made of that byte costs a call per byte.
std::size_t find_from(std::string_view text, std::string_view needle, std::size_t from) {
  if (from > text.size()) return std::string_view::npos;
  if (needle.empty()) return from;
  if (text.size() - from < needle.size()) return std::string_view::npos;
  const void* hit = ::memmem(text.data() + from, text.size() - from, needle.data(), needle.size());
  return hit == nullptr ? std::string_view::npos : static_cast<std::size_t>(static_cast<const char*>(hit) - text.data());
}

bool is_alnum_ascii(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); }

// Whether the `len` bytes at `at` of `text` stand on their own: no ASCII
// letter or digit right before or after them.
bool stands_alone(std::string_view text, std::size_t at, std::size_t len) {
  return (at == 0 || !is_alnum_ascii(text[at - 1])) && (at + len == text.size() || !is_alnum_ascii(text[at + len]));
}

// The places where one name stands alone in the lowered `text`, found in
// order: a name inside one of the tool's own words ("kv1" in "akv10032") is
// not the name.
class NamePlaces {
 public:
  NamePlaces(std::string_view text, std::string_view lowered_name) : text_(text), name_(lowered_name) { find(0); }

  // The end of the furthest-reaching place that starts at or before `at`
  // (0 when there is none). Calls come with `at` never decreasing.
  std::size_t reach_from(std::size_t at) {
    while (next_ != std::string_view::npos && next_ <= at) {
      reach_ = std::max(reach_, next_ + name_.size());
      find(next_ + 1);
    }
    return reach_;
  }

 private:
  void find(std::size_t from) {
    next_ = name_.empty() ? std::string_view::npos : find_from(text_, name_, from);
    while (next_ != std::string_view::npos && !stands_alone(text_, next_, name_.size())) {
      next_ = find_from(text_, name_, next_ + 1);
    }
  }

  std::string_view text_;
  std::string_view name_;
  std::size_t next_ = std::string_view::npos;
  std::size_t reach_ = 0;
};

bool holds_a_pattern(std::string_view lowered_name, std::span<const HintGroup> groups) {
  return std::ranges::any_of(groups, [&](const HintGroup& g) {
    return std::ranges::any_of(g.patterns, [&](std::string_view p) { return lowered_name.contains(p); });
  });
}

}  // namespace

std::expected<ToolOutput, ToolFailure> run_tool(std::string_view program, std::span<const std::string> args,
                                                std::chrono::nanoseconds limit, std::span<const ToolEnvVar> tool_env) {
  core::ChildCommand child;
  child.program = program;
  child.args = args;
  child.path_search = core::PathSearch::Caller;
  child.max_stream_len = kMaxToolOutputLen;
  child.limit = limit;
  // Whatever the host's PYTHONIOENCODING, PYTHONUTF8 or locale say, the tool
  // prints UTF-8 or fails: under latin-1 or ASCII with a replacing handler a
  // value would arrive changed, with status 0. The packages of az start it
  // with -I, so PYTHONIOENCODING alone does not reach it.
  std::vector<core::ChildEnvVar> env = {{"PYTHONIOENCODING", bytes(kIoEncoding)}, {"LC_ALL", bytes(kLocale)}};
  for (const ToolEnvVar& v : tool_env) env.push_back({v.name, bytes(v.value)});
  child.env = env;
  auto ran = core::child::run(child);
  if (!ran) return std::unexpected(ran.error());
  // Standard error is only ever classified; a read error just ends a stream.
  return ToolOutput{std::move(ran->stdout_bytes), std::move(ran->stderr_bytes), ran->status};
}

JsonAnswer read_json_answer(std::span<const std::uint8_t> stdout_bytes) {
  namespace json = core::json;
  json::Reader reader(stdout_bytes);
  JsonAnswer answer;
  const auto kind = reader.peek();
  if (kind && *kind == json::Kind::Null) {
    if (reader.read_null() && reader.finish()) answer.kind = JsonAnswer::Kind::Null;
  } else if (kind && *kind == json::Kind::String) {
    if (reader.read_string(answer.text) && reader.finish()) {
      answer.kind = JsonAnswer::Kind::String;
    } else {
      answer.text.wipe();
    }
  }
  return answer;
}

std::string_view choose_hint(std::span<const std::uint8_t> stderr_bytes, std::span<const std::string_view> names,
                             std::span<const HintGroup> groups, std::string_view fallback) {
  // Matching the raw bytes is the same as matching their lossy UTF-8 decoding:
  // the patterns are ASCII, every ASCII byte decodes to itself, and no
  // replacement or multi-byte character contains an ASCII byte.
  core::SecretBuffer lowered(stderr_bytes);
  for (std::uint8_t& b : std::span(lowered.data(), lowered.size())) {
    b = static_cast<std::uint8_t>(core::utf8::ascii_lower(static_cast<char>(b)));
  }
  const std::string_view text = lowered.view();
  // A match wholly inside a place is the pattern inside the name, so a name
  // that holds no pattern takes nothing out and its places are never sought.
  std::vector<std::string> lowered_names;
  for (std::string_view name : names) {
    std::string n(name);
    std::ranges::transform(n, n.begin(), core::utf8::ascii_lower);
    if (holds_a_pattern(n, groups)) lowered_names.push_back(std::move(n));
  }
  std::vector<NamePlaces> places;
  for (const std::string& n : lowered_names) places.emplace_back(text, n);
  // Every pattern's next match, all taken in the order they stand in the
  // text, so that each name's places are found once, in one pass along with
  // them, and a match only asks whether a place starting at or before it
  // reaches its end. Only the earliest group with a match that counts gives
  // the hint, the same as testing the groups and their patterns in order: once
  // a match counts, the patterns of its group and of later ones are dropped.
  struct NextMatch {
    std::string_view pattern;
    std::size_t group;
    std::size_t at;
  };
  std::vector<NextMatch> next;
  for (std::size_t g = 0; g < groups.size(); ++g) {
    for (std::string_view p : groups[g].patterns) {
      if (const std::size_t at = find_from(text, p, 0); at != std::string_view::npos) next.push_back({p, g, at});
    }
  }
  std::size_t chosen = groups.size();
  while (!next.empty()) {
    const auto m = std::ranges::min_element(next, {}, &NextMatch::at);
    std::size_t reach = 0;
    for (NamePlaces& n : places) reach = std::max(reach, n.reach_from(m->at));
    const std::size_t len = m->pattern.size();
    if (reach < m->at + len) {
      chosen = m->group;
      std::erase_if(next, [&](const NextMatch& x) { return x.group >= chosen; });
      continue;
    }
    // A later match that ends by `reach` lies inside the same place too.
    m->at = find_from(text, m->pattern, reach - len + 1);
    if (m->at == std::string_view::npos) next.erase(m);
  }
  return chosen < groups.size() ? groups[chosen].hint : fallback;
}

bool mentions(std::span<const std::uint8_t> stderr_bytes, std::string_view phrase) {
  const std::string_view text(reinterpret_cast<const char*>(stderr_bytes.data()), stderr_bytes.size());
  return !std::ranges::search(text, phrase, {}, core::utf8::ascii_lower).empty();
}

std::string exit_text(std::optional<std::int32_t> status) {
  return status ? std::to_string(*status) : std::string("signal");
}

std::string fill(std::string_view tmpl, std::initializer_list<std::string_view> args) {
  std::string out;
  out.reserve(tmpl.size());
  auto next = args.begin();
  for (std::size_t pos = 0;;) {
    const std::size_t hole = tmpl.find("{}", pos);
    if (hole == std::string_view::npos || next == args.end()) {
      out += tmpl.substr(pos);
      return out;
    }
    out += tmpl.substr(pos, hole - pos);
    out += *next++;
    pos = hole + 2;
  }
}

std::string whole_seconds(std::chrono::nanoseconds limit) {
  if (limit < std::chrono::nanoseconds::zero()) limit = std::chrono::nanoseconds::zero();
  return std::to_string(std::chrono::duration_cast<std::chrono::seconds>(limit).count());
}

namespace {

std::string failure_text(const ToolFailure& failure, std::chrono::nanoseconds limit, const ToolFailureTexts& texts) {
  switch (failure.kind) {
    case ToolFailureKind::CouldNotStart:
      // Not the tool's install: what it would have had as standard input.
      if (failure.null_device) {
        return fill(texts.cannot_start, {std::string(core::kNullDeviceFailureText) + " (" +
                                             core::os_error_text(failure.errnum) + ")"});
      }
      return fill(texts.could_not_run, {core::os_error_text(failure.errnum)});
    case ToolFailureKind::WaitFailed: return fill(texts.wait_failed, {core::os_error_text(failure.errnum)});
    case ToolFailureKind::OutputTooLarge: return fill(texts.too_large, {std::to_string(kMaxToolOutputLen)});
    case ToolFailureKind::SupervisorEnded: return std::string(texts.helper_ended);
    // The core's runner always says why.
    case ToolFailureKind::TooLargeToStart:
      return fill(texts.cannot_start, {core::child::exec_size_fault_text(*failure.size_fault)});
    case ToolFailureKind::TimedOut: break;
  }
  return fill(texts.timed_out, {whole_seconds(limit)});
}

}  // namespace

std::string failure_message(const ToolFailure& failure, std::chrono::nanoseconds limit,
                            const ToolFailureTexts& texts) {
  std::string message = failure_text(failure, limit, texts);
  // A tool whose exec sleeps where no signal reaches it (a hung mount) is
  // never claimed to be gone.
  if (!failure.program_ended) message += "; it could not be ended and may still be running";
  return message;
}

}  // namespace zantu::providers::common
