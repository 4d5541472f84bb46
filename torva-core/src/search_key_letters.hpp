// The letters of search keys, shared by the key writer (search_key.cpp) and
// the prefilter (prefilter.cpp). Internal to the core.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "torva/error.hpp"
#include "torva/math.hpp"
#include "torva/search_key.hpp"

namespace torva::keys {

inline constexpr std::uint8_t kNoLetter = 0xFF;  // no alternate letter

// Letters of a chain of n residues (one per residue 1 .. n-3), and words of m letters.
std::size_t letter_count(std::size_t n_residues);
std::size_t word_count(std::size_t n_letters);

// The shape letter of the residue b of the C-alpha quadruple a b c d; `alternate`, when given,
// receives the letter across the nearest bin boundary when the residue lies close to it, else kNoLetter.
std::uint8_t letter_of(const Point& a, const Point& b, const Point& c, const Point& d,
                       std::uint8_t* alternate = nullptr);

// Context letters of residues 1 .. n-3 into out (and their alternates, when given).
void context_letters(std::span<const Point> ca, std::uint8_t* out, std::uint8_t* alternates);

// Parses a key into `letters` (resized), returning the residue count, or an
// error detail. Reads only key[0 .. key.size()).
Result<std::size_t, std::string> parse_key(std::span<const std::uint8_t> key, std::vector<std::uint8_t>& letters);

}  // namespace torva::keys
