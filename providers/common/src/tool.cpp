#include "zantu/providers/common/tool.hpp"

#include <algorithm>
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

bool is_alnum_ascii(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); }

// Whether the `len` bytes at `at` of `text` stand on their own: no ASCII
// letter or digit right before or after them.
bool stands_alone(std::string_view text, std::size_t at, std::size_t len) {
  return (at == 0 || !is_alnum_ascii(text[at - 1])) && (at + len == text.size() || !is_alnum_ascii(text[at + len]));
}

// Whether the `len` bytes at `at` of the lowered `text` lie wholly inside a
// place where one of `names` stands alone, without regard to ASCII case. A
// name inside one of the tool's own words ("kv1" in "akv10032") is not the
// name, so a match there counts.
bool inside_a_name(std::string_view text, std::size_t at, std::size_t len, std::span<const std::string_view> names) {
  for (std::string_view name : names) {
    if (name.size() < len || name.size() > text.size()) continue;
    // Every start from which the name would cover the match.
    const std::size_t first = at + len >= name.size() ? at + len - name.size() : 0;
    for (std::size_t start = first; start <= at && start + name.size() <= text.size(); ++start) {
      if (std::ranges::equal(text.substr(start, name.size()), name, {}, {}, core::utf8::ascii_lower) &&
          stands_alone(text, start, name.size())) {
        return true;
      }
    }
  }
  return false;
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
  for (const HintGroup& g : groups) {
    for (std::string_view p : g.patterns) {
      for (std::size_t at = text.find(p); at != std::string_view::npos; at = text.find(p, at + 1)) {
        if (!inside_a_name(text, at, p.size(), names)) return g.hint;
      }
    }
  }
  return fallback;
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

std::string failure_message(const ToolFailure& failure, std::chrono::nanoseconds limit,
                            const ToolFailureTexts& texts) {
  switch (failure.kind) {
    case ToolFailureKind::CouldNotStart: return fill(texts.could_not_run, {core::os_error_text(failure.errnum)});
    case ToolFailureKind::WaitFailed: return fill(texts.wait_failed, {core::os_error_text(failure.errnum)});
    case ToolFailureKind::OutputTooLarge: return fill(texts.too_large, {std::to_string(kMaxToolOutputLen)});
    case ToolFailureKind::SupervisorEnded: return std::string(texts.helper_ended);
    case ToolFailureKind::TimedOut: break;
  }
  return fill(texts.timed_out, {whole_seconds(limit)});
}

}  // namespace zantu::providers::common
