// One declaration per method: its name, its parameters and its docstring are
// written once, in the type's method table, as
//
//   VT_METHOD(fn, "Owner", "_name", "a, b=None, **kwargs", "What it does.")
//
// From that one text the table entry gets its __text_signature__ (so help()
// and inspect.signature work), its calling convention (METH_NOARGS when
// there are no parameters) and the binding of arguments to parameters, with
// the interpreter's own wording for a wrong call. The body is a plain C++
// function with one parameter per name, in declaration order:
//
//   vt::Ref fn(Self self)                                   ("")
//   vt::Ref fn(Self self, vt::Borrowed a, vt::Borrowed b)   ("a, b=None")
//   vt::Ref fn(Self self, vt::Borrowed a, vt::Borrowed kwargs)   ("a, **kwargs")
//
// A parameter arrives with its default filled in when the caller left it
// out; one declared vt::Given arrives null instead (the default is then only
// what help() shows), and one declared vt::PositiveOrNone is read as a
// number by the body. A trailing **name arrives as one more vt::Borrowed:
// the dict of the other keywords, or null when there were none. A body whose
// parameters do not match the signature's names one for one does not
// compile.
//
// Self is any type with a static `Self from(PyObject*)` (the receiver: the
// instance, or the module for a static method), or vt::Borrowed. Bodies run
// inside vt::boundary, so they report failures by throwing.
#pragma once
#include <array>
#include <cstddef>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

#include "common/error.h"

namespace vt {

// A parameter that arrives null when the caller left it out.
class Given : public Borrowed {
 public:
  using Borrowed::Borrowed;
};

// A parameter that takes None or a positive number: an int or a float, not
// a bool (a flag is not a number). The body reads it with number(), after
// whatever it checks first.
class PositiveOrNone : public Borrowed {
 public:
  using Borrowed::Borrowed;
  // How one parameter refuses what it does not take: TypeError with
  // `type_text` (formatted with the argument's type name) for anything but
  // None, an int or a float; ValueError with `value_text` (formatted with
  // the argument) for a number that is not positive, or is math.inf where
  // `infinite` is false.
  struct Rule {
    const char* type_text;
    const char* value_text;
    bool infinite;
  };
  // The number; 0 for None. An int beyond any float is a finite number all
  // the same: the largest float.
  double number(const Rule& rule) const;
};

// A string literal usable as a template argument.
template <std::size_t N>
struct Lit {
  char s[N]{};
  consteval Lit(const char (&a)[N]) {
    for (std::size_t i = 0; i < N; ++i) s[i] = a[i];
  }
  static constexpr std::size_t size = N - 1;
  constexpr std::string_view view() const { return {s, N - 1}; }
};

// The literal forms a default may take in a signature.
struct Default {
  enum Kind : unsigned char { Required, None, False, True, Int, Str };
  Kind kind = Required;
  long number = 0;
  std::string_view text;
};

struct Param {
  std::string_view name;
  Default dflt;
};

constexpr std::size_t kMaxParams = 8;

struct Signature {
  std::array<Param, kMaxParams> params{};
  std::size_t count = 0;
  std::size_t required = 0;    // leading parameters without a default
  std::size_t positional = 0;  // leading parameters before a "/"
  bool var_keywords = false;   // a trailing **name collects other keywords
};

namespace detail {

// Plain loops rather than string_view's searches: the sanitizer build's
// compiler does not accept those in constant evaluation.
consteval bool same(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (a[i] != b[i]) return false;
  return true;
}

consteval std::size_t find(std::string_view s, char c) {
  for (std::size_t i = 0; i < s.size(); ++i)
    if (s[i] == c) return i;
  return std::string_view::npos;
}

consteval bool is_space(char c) { return c == ' ' || c == '\n'; }

consteval std::string_view trim(std::string_view s) {
  std::size_t b = 0, e = s.size();
  while (b < e && is_space(s[b])) ++b;
  while (e > b && is_space(s[e - 1])) --e;
  return s.substr(b, e - b);
}

consteval Default parse_default(std::string_view t) {
  Default d;
  if (same(t, "None")) {
    d.kind = Default::None;
  } else if (same(t, "False")) {
    d.kind = Default::False;
  } else if (same(t, "True")) {
    d.kind = Default::True;
  } else if (t.size() >= 2 && t[0] == '\'' && t[t.size() - 1] == '\'') {
    d.kind = Default::Str;
    d.text = t.substr(1, t.size() - 2);
  } else {
    d.kind = Default::Int;
    std::size_t i = 0;
    const bool negative = !t.empty() && t[0] == '-';
    if (negative) i = 1;
    if (i == t.size()) throw "a default must be None, True, False, an int or 'text'";
    for (; i < t.size(); ++i) {
      if (t[i] < '0' || t[i] > '9') throw "a default must be None, True, False, an int or 'text'";
      d.number = d.number * 10 + (t[i] - '0');
    }
    if (negative) d.number = -d.number;
  }
  return d;
}

// "a, b=None, **kwargs" -> the parameter list.
consteval Signature parse(std::string_view text) {
  Signature sig;
  text = trim(text);
  while (!text.empty()) {
    const std::size_t comma = find(text, ',');
    std::string_view piece = trim(text.substr(0, comma));
    text = comma == std::string_view::npos ? std::string_view{} : trim(text.substr(comma + 1));
    if (same(piece, "/")) {
      if (sig.positional) throw "only one /";
      sig.positional = sig.count;
      continue;
    }
    if (piece.size() > 2 && piece[0] == '*' && piece[1] == '*') {
      if (!text.empty()) throw "**name must come last";
      sig.var_keywords = true;
      break;
    }
    if (sig.count == kMaxParams) throw "too many parameters";
    Param p;
    const std::size_t eq = find(piece, '=');
    p.name = trim(piece.substr(0, eq));
    if (eq != std::string_view::npos) {
      p.dflt = parse_default(trim(piece.substr(eq + 1)));
    } else {
      if (sig.required != sig.count) throw "a parameter without default follows one with";
      ++sig.required;
    }
    sig.params[sig.count++] = p;
  }
  return sig;
}

template <Lit... Parts>
consteval auto cat() {
  constexpr std::size_t n = (Parts.size + ... + 0);
  std::array<char, n + 1> out{};
  std::size_t i = 0;
  auto put = [&](std::string_view s) {
    for (char c : s) out[i++] = c;
  };
  (put(Parts.view()), ...);
  return out;
}

consteval bool has_slash(std::string_view params) {
  for (char c : params)
    if (c == '/') return true;
  return false;
}

// "name($self, /, params)\n--\n\ndoc", the form inspect reads. A static
// method is a function bound to the module ($module).
template <Lit Name, Lit Params, bool Static, std::size_t N>
consteval auto docstring(const char (&doc)[N]) {
  constexpr std::string_view receiver = Static ? "$module" : "$self";
  constexpr std::string_view slash =
      has_slash(Params.view()) ? "" : (Params.size == 0 ? ", /" : ", /, ");
  constexpr std::string_view tail = ")\n--\n\n";
  std::array<char,
             Name.size + 1 + receiver.size() + 2 + slash.size() + Params.size + tail.size() + N>
      out{};
  std::size_t i = 0;
  auto put = [&](std::string_view s) {
    for (char c : s) out[i++] = c;
  };
  put(Name.view());
  put("(");
  put(receiver);
  if (has_slash(Params.view())) put(", ");
  put(slash);
  put(Params.view());
  put(tail);
  put(std::string_view(doc, N - 1));
  return out;
}

template <class T>
struct BodyTraits;
template <class R, class S, class... P>
struct BodyTraits<R (*)(S, P...)> {
  using Self = S;
  using Params = std::tuple<P...>;
  static constexpr std::size_t arity = sizeof...(P);
  static constexpr bool borrowed_only = (std::is_base_of_v<Borrowed, P> && ...);
};

// A body's parameters against its signature, checked where the method is
// declared.
template <class Traits>
consteval bool matches(const Signature& sig) {
  return Traits::borrowed_only && Traits::arity == sig.count + (sig.var_keywords ? 1 : 0);
}

template <class S>
S receiver(PyObject* self) {
  if constexpr (std::is_same_v<S, Borrowed>)
    return Borrowed(self);
  else
    return S::from(self);
}

}  // namespace detail

// The arguments of one call bound to the parameters, in declaration order,
// defaults filled in; kwargs() is the dict of the other keywords (or null)
// when the signature ends in **name. Bodies get them one by one.
class Bound {
 public:
  template <class P>
  P get(std::size_t i) const noexcept {
    if constexpr (std::is_same_v<P, Given>)
      return Given(made_[i] ? nullptr : values_[i]);
    else
      return P(values_[i]);
  }
  Borrowed kwargs() const noexcept { return kwargs_; }

  // body(self, <each parameter>..., [kwargs])
  template <auto Body, const Signature& Sig, class Self>
  auto call(Self self) const {
    return call<Body, Sig>(self, std::make_index_sequence<Sig.count>{});
  }

 private:
  template <auto Body, const Signature& Sig, class Self, std::size_t... I>
  auto call(Self self, std::index_sequence<I...>) const {
    using Params = typename detail::BodyTraits<decltype(Body)>::Params;
    if constexpr (Sig.var_keywords)
      return Body(self, get<std::tuple_element_t<I, Params>>(I)..., kwargs());
    else
      return Body(self, get<std::tuple_element_t<I, Params>>(I)...);
  }

  friend void bind(std::string_view, const Signature&, bool, PyObject* const*, Py_ssize_t,
                   PyObject*, Bound&);
  std::array<PyObject*, kMaxParams> values_{};
  std::array<Ref, kMaxParams> made_{};
  Ref kwargs_;
};

// Binds a vectorcall to a signature; throws with the interpreter's
// TypeError text (counting self, as for a Python method, unless static).
void bind(std::string_view qualname, const Signature& sig, bool is_static, PyObject* const* args,
          Py_ssize_t nargs, PyObject* kwnames, Bound& out);
// The same for a tuple and a dict (tp_init).
void bind_tuple(std::string_view qualname, const Signature& sig, PyObject* args, PyObject* kwargs,
                Bound& out);

template <auto Body, Lit Owner, Lit Name, Lit Params, bool Static = false>
struct Method {
  using Traits = detail::BodyTraits<decltype(Body)>;
  using Self = typename Traits::Self;
  static constexpr Signature sig = detail::parse(Params.view());
  static constexpr auto qualname = detail::cat<Owner, ".", Name>();
  static constexpr bool no_args = sig.count == 0 && !sig.var_keywords;
  // One positional-only parameter: the METH_O convention.
  static constexpr bool one_arg =
      sig.count == 1 && sig.positional == 1 && sig.required == 1 && !sig.var_keywords;
  static_assert(detail::matches<Traits>(sig),
                "the body takes one vt::Borrowed (or a view derived from it) "
                "per parameter of the signature, in order, and one more for a trailing **name");

  template <std::size_t N>
  static consteval auto docstring(const char (&doc)[N]) {
    return detail::docstring<Name, Params, Static>(doc);
  }

  static PyObject* call_noargs(PyObject* self, PyObject*) {
    if constexpr (no_args)
      return boundary([&] { return Body(detail::receiver<Self>(self)); });
    else
      return nullptr;
  }
  static PyObject* call_o(PyObject* self, PyObject* arg) {
    if constexpr (one_arg) {
      return boundary([&] {
        Bound b;
        bind({qualname.data(), qualname.size() - 1}, sig, Static, &arg, 1, nullptr, b);
        return b.call<Body, sig>(detail::receiver<Self>(self));
      });
    } else {
      return nullptr;
    }
  }
  static PyObject* call(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    if constexpr (!no_args) {
      return boundary([&] {
        Bound b;
        bind({qualname.data(), qualname.size() - 1}, sig, Static, args, nargs, kwnames, b);
        return b.call<Body, sig>(detail::receiver<Self>(self));
      });
    } else {
      return nullptr;
    }
  }
  // A static method is not marked METH_STATIC (which would leave it without
  // any way to its module): it is a function bound to the module, installed
  // in the class as a staticmethod (see install_static_methods).
  static PyMethodDef def(const char* doc) noexcept {
    if constexpr (no_args)
      return {Name.s, call_noargs, METH_NOARGS, doc};
    else if constexpr (one_arg)
      return {Name.s, call_o, METH_O, doc};
    else
      return {Name.s, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(call)),
              METH_FASTCALL | METH_KEYWORDS, doc};
  }
};

// Puts each function of `defs` (null-terminated, declared with
// VT_STATIC_METHOD) into `type` as a staticmethod bound to `module`, while
// the type is being set up.
void install_static_methods(PyObject* type, PyObject* module, PyMethodDef* defs);

// The constructor of a type: its parameters written once, for the class
// docstring's signature and for binding.
template <auto Body, Lit Owner, Lit Params, Lit Doc>
struct Init {
  static constexpr Signature sig = detail::parse(Params.view());
  static_assert(detail::matches<detail::BodyTraits<decltype(Body)>>(sig),
                "the constructor takes one vt::Borrowed (or a view derived from it) "
                "per parameter of the signature, in order, and one more for a trailing **name");
  static constexpr auto doc = detail::cat<Owner, "(", Params, ")\n--\n\n", Doc>();  // class doc
  static constexpr auto qualname = detail::cat<Owner, ".__init__">();
  static int call(PyObject* self, PyObject* args, PyObject* kwargs) {
    return boundary_status([&] {
      Bound b;
      bind_tuple({qualname.data(), qualname.size() - 1}, sig, args, kwargs, b);
      b.call<Body, sig>(self);
    });
  }
};

}  // namespace vt

#define VT_METHOD(body, owner, name, params, doc)       \
  ([]() noexcept {                                      \
    using M = ::vt::Method<&body, owner, name, params>; \
    static constexpr auto text = M::docstring(doc);     \
    return M::def(text.data());                         \
  }())
#define VT_STATIC_METHOD(body, owner, name, params, doc)      \
  ([]() noexcept {                                            \
    using M = ::vt::Method<&body, owner, name, params, true>; \
    static constexpr auto text = M::docstring(doc);           \
    return M::def(text.data());                               \
  }())
#define VT_METHODS_END {nullptr, nullptr, 0, nullptr}
