// The hash tables of the core: Boost's open-addressing tables (one probe
// of a 15-slot group with SIMD tag matching, as fast as any we measured for
// the keys here) under short names, with the hashes that suit our keys.
// Strings are looked up by string_view without a copy.  Digests, which are
// SHA-256 output, are hashed by folding their four words with a
// per-process seed: cheap, and lines crafted so that their hashes share
// bits still spread differently in every process.  Not thread-safe, as the
// tables themselves.
#pragma once

#include <boost/container_hash/hash.hpp>
#include <boost/unordered/unordered_flat_map.hpp>
#include <boost/unordered/unordered_flat_set.hpp>
#include <boost/unordered/unordered_node_map.hpp>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <type_traits>

#include "coding.h"

namespace kestrix {

struct StringHash {
  using is_transparent = void;
  size_t operator()(std::string_view s) const { return boost::hash<std::string_view>{}(s); }
};
struct StringEq {
  using is_transparent = void;
  bool operator()(std::string_view a, std::string_view b) const { return a == b; }
};

struct DigestHash {
  using is_avalanching = std::true_type;
  size_t operator()(const Digest& d) const {
    uint64_t w[4];
    std::memcpy(w, d.data(), sizeof w);
    return fold(w[0] ^ seed(), w[1] ^ 0x9E3779B97F4A7C15ULL) ^ fold(w[2], w[3] ^ 0xBF58476D1CE4E5B9ULL);
  }

 private:
  // The high and low halves of the 128-bit product, folded.
  static uint64_t fold(uint64_t a, uint64_t b) {
    const unsigned __int128 p = static_cast<unsigned __int128>(a) * b;
    return static_cast<uint64_t>(p) ^ static_cast<uint64_t>(p >> 64);
  }
  // Differs between processes through address-space randomisation.
  static uint64_t seed() {
    static const char anchor = 0;
    return reinterpret_cast<uintptr_t>(&anchor) * 0x94D049BB133111EBULL;
  }
};

// The hash and equality a table uses by default for a key type.
template <typename K>
struct KeyTraits {
  using Hash = boost::hash<K>;
  using Eq = std::equal_to<K>;
};
template <>
struct KeyTraits<std::string> {
  using Hash = StringHash;
  using Eq = StringEq;
};
template <>
struct KeyTraits<Digest> {
  using Hash = DigestHash;
  using Eq = std::equal_to<Digest>;
};

template <typename K, typename V, typename H = typename KeyTraits<K>::Hash,
          typename E = typename KeyTraits<K>::Eq>
using FlatMap = boost::unordered_flat_map<K, V, H, E>;

template <typename K, typename H = typename KeyTraits<K>::Hash, typename E = typename KeyTraits<K>::Eq>
using FlatSet = boost::unordered_flat_set<K, H, E>;

// For values whose address must stay put while the table grows.
template <typename K, typename V, typename H = typename KeyTraits<K>::Hash,
          typename E = typename KeyTraits<K>::Eq>
using NodeMap = boost::unordered_node_map<K, V, H, E>;

}  // namespace kestrix
