// .env.refs grammar: any input either fails with an env-refs error naming one
// of its lines, or parses into names, sources and a project that obey the
// grammar's invariants and that, written back as a text, parse to an equal
// value.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "zantu/core/envrefs.hpp"

namespace {

using zantu::core::EnvRefs;
using zantu::core::Source;
namespace envrefs = zantu::core::envrefs;

void check(bool ok) {
  if (!ok) std::abort();
}

std::size_t count_lines(std::string_view text) {
  std::size_t n = 0;
  for (char c : text) n += c == '\n';
  if (!text.empty() && text.back() != '\n') ++n;
  return n;
}

bool has_interpolation(std::string_view s) { return s.find("${") != std::string_view::npos; }
bool trimmed(std::string_view s) { return envrefs::trim(s) == s; }

void check_fallback(const std::optional<std::string>& f) {
  if (!f) return;
  check(trimmed(*f) && !has_interpolation(*f));
}

// One line per variable in the form the parser reads back to the same source.
std::string write(const EnvRefs& refs) {
  std::string out;
  if (refs.project) out += "project=" + *refs.project + "\n";
  for (const auto& [name, source] : refs.vars) {
    out += name + "=";
    if (const auto* i = std::get_if<Source::Inline>(&source.form)) {
      out += i->text;
    } else if (const auto* e = std::get_if<Source::EnvVar>(&source.form)) {
      out += "${env:" + e->name;
      if (e->fallback) out += "|" + *e->fallback;
      out += "}";
    } else {
      const auto& s = std::get<Source::Secret>(source.form);
      out += s.uri;
      if (s.fallback) out += "|" + *s.fallback;
    }
    out += "\n";
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  auto r = EnvRefs::parse(text);
  if (!r) {
    check(r.error().kind() == zantu::core::CoreErrorKind::EnvRefsFailure);
    std::string_view d = r.error().detail();
    check(d.starts_with("line "));
    std::size_t line = std::strtoull(std::string(d.substr(5)).c_str(), nullptr, 10);
    check(line >= 1 && line <= count_lines(text));
    return 0;
  }

  if (r->project) check(!r->project->empty() && trimmed(*r->project));
  for (std::size_t i = 0; i < r->vars.size(); ++i) {
    const auto& [name, source] = r->vars[i];
    check(envrefs::is_identifier(name) && name != "project");
    for (std::size_t j = 0; j < i; ++j) check(r->vars[j].first != name);
    if (const auto* in = std::get_if<Source::Inline>(&source.form)) {
      check(trimmed(in->text) && !has_interpolation(in->text) && !in->text.starts_with("secret:"));
    } else if (const auto* e = std::get_if<Source::EnvVar>(&source.form)) {
      check(envrefs::is_identifier(e->name));
      check_fallback(e->fallback);
    } else {
      const auto& s = std::get<Source::Secret>(source.form);
      check(s.uri.starts_with("secret:") && trimmed(std::string_view(s.uri).substr(7)));
      check(s.uri.find('|') == std::string::npos);
      check_fallback(s.fallback);
    }
  }

  auto again = EnvRefs::parse(write(*r));
  check(again.has_value() && *again == *r);
  return 0;
}
