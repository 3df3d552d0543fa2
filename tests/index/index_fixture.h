// A chunk index over a small table that tests can inspect slot by slot.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "index/chunk_index.h"

namespace longdup::test {

// A key whose first word (and so its home) is `word`, told apart from other
// keys with the same word by `tag`, which fills bytes 4..15.
inline chunk_key make_key(uint32_t word, uint8_t tag) {
  chunk_key k;
  for (int i = 0; i < 4; ++i) k.b[i] = static_cast<uint8_t>(word >> (8 * i));
  std::memset(k.b + 4, tag, 12);
  return k;
}

struct small_index {
  std::vector<hentry> tbl;
  chunk_index ix{};

  explicit small_index(uint32_t size, uint32_t window = 1u << 30) : tbl(size) {
    ix.cfg_tblsize = size;
    ix.cfg_tblbytes = size * 20;
    ix.cfg_decwinsize = window;
    ix.htbl = tbl.data();
  }
  small_index(const small_index&) = delete;
  small_index& operator=(const small_index&) = delete;

  void put(uint32_t slot, const chunk_key& key, uint32_t val) {
    tbl[slot].val = val;
    std::memcpy(tbl[slot].key, key.b, 16);
  }
};

struct slot_is {
  uint32_t slot;
  chunk_key key;
  uint32_t val;
};

inline std::string describe(const hentry& e) {
  hentry copy = e;
  uint32_t word = copy.key[0] | copy.key[1] << 8 | copy.key[2] << 16 | uint32_t{copy.key[3]} << 24;
  return "word " + std::to_string(word) + " tag " + std::to_string(copy.key[4]) + " val " +
         std::to_string(copy.val);
}

// Every slot byte for byte: the listed ones as given, all others empty and
// zero.
inline void expect_table(const small_index& s, const std::vector<slot_is>& want) {
  std::vector<hentry> expected(s.tbl.size());
  for (const slot_is& w : want) {
    expected[w.slot].val = w.val;
    std::memcpy(expected[w.slot].key, w.key.b, 16);
  }
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(std::memcmp(&s.tbl[i], &expected[i], sizeof(hentry)), 0)
        << "slot " << i << ": have " << describe(s.tbl[i]) << ", want " << describe(expected[i]);
  }
}

}  // namespace longdup::test
