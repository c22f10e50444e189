// The texts the interpreter shows for a declared method or function, made at compile time from its
// declaration (kName, kParams, kDoc), so that a name or parameter is written in one place only:
//   - the doc slot, "<name>(<$self, ><param>, ...)\n--\n\n<docstring>", from which the interpreter
//     derives __text_signature__ and __doc__ (an empty docstring gives a __doc__ of None);
//   - the full name used by the binding errors, "OmbrelField.<name>()" or "<name>()".
#pragma once

#include <array>
#include <cstddef>

#include "lib/binder.h"

namespace ombrel::lib {

constexpr std::size_t text_length(const char* text) {
  std::size_t n = 0;
  while (text[n] != '\0') ++n;
  return n;
}

template <class Pieces>
constexpr std::size_t joined_length(const Pieces& pieces) {
  std::size_t n = 0;
  for (const char* piece : pieces) n += text_length(piece);
  return n;
}

// Joins `pieces` into one NUL-terminated array of exactly Length + 1 characters.
template <std::size_t Length, class Pieces>
constexpr std::array<char, Length + 1> join_texts(const Pieces& pieces) {
  std::array<char, Length + 1> out{};
  std::size_t at = 0;
  for (const char* piece : pieces) {
    for (; *piece != '\0'; ++piece) out[at++] = *piece;
  }
  return out;
}

// The pieces of "<shown>(<self>, <param>, ...)\n--\n\n<doc>"; without `self` when it is null.
template <std::size_t N>
constexpr std::array<const char*, 2 * N + 5> doc_slot_pieces(const char* shown, const char* self,
                                                             const std::array<const char*, N>& params,
                                                             const char* doc) {
  std::array<const char*, 2 * N + 5> pieces{};
  for (const char*& piece : pieces) piece = "";
  std::size_t at = 0;
  pieces[at++] = shown;
  pieces[at++] = "(";
  if (self != nullptr) pieces[at++] = self;
  for (std::size_t i = 0; i < N; ++i) {
    if (i > 0 || self != nullptr) pieces[at++] = ", ";
    pieces[at++] = params[i];
  }
  pieces[at++] = ")\n--\n\n";
  pieces[at++] = doc;
  return pieces;
}

// The texts of a declaration `D`: a method of OmbrelField when kMethod, else a module function.
template <class D, bool kMethod>
struct DeclaredTexts {
  static constexpr std::array<const char*, 3> kFullNamePieces{kMethod ? "OmbrelField." : "", D::kName, "()"};
  static constexpr auto kFullName = join_texts<joined_length(kFullNamePieces)>(kFullNamePieces);
  static constexpr Signature kSignature{kFullName.data(), D::kParams.data(), D::kParams.size()};

  static constexpr auto kDocPieces =
      doc_slot_pieces(D::kName, kMethod ? "$self" : nullptr, D::kParams, D::kDoc);
  static constexpr auto kDocSlot = join_texts<joined_length(kDocPieces)>(kDocPieces);
};

template <class M>
using MethodTexts = DeclaredTexts<M, true>;
template <class F>
using FunctionTexts = DeclaredTexts<F, false>;

// The class's doc slot, "OmbrelField(<param>, ...)\n--\n\n<docstring>", from the constructor's
// declaration.
template <class C>
struct ClassTexts {
  static constexpr auto kDocPieces = doc_slot_pieces("OmbrelField", nullptr, C::kParams, C::kDoc);
  static constexpr auto kDocSlot = join_texts<joined_length(kDocPieces)>(kDocPieces);
};

}  // namespace ombrel::lib
