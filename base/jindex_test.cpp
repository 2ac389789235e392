#include "base/jindex.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "base/runtime.h"

namespace {

struct Rec {
  JiNode node;
  int key;
};

int compare_int(const void* key, const JiNode* node) {
  const int k = *static_cast<const int*>(key);
  const int n = reinterpret_cast<const Rec*>(node)->key;
  return k < n ? -1 : k > n ? 1 : 0;
}

uintptr_t addr(const void* p) { return reinterpret_cast<uintptr_t>(p); }

// Checks order, heap order on the address priorities and returns the size.
size_t check_tree(const JiNode* n, const Rec* lo, const Rec* hi) {
  if (!n) return 0;
  const Rec* r = reinterpret_cast<const Rec*>(n);
  auto before = [](const Rec* a, const Rec* b) {
    return a->key < b->key || (a->key == b->key && addr(a) < addr(b));
  };
  if (lo) {
    EXPECT_TRUE(before(lo, r));
  }
  if (hi) {
    EXPECT_TRUE(before(r, hi));
  }
  for (const JiNode* child : n->link) {
    if (child) {
      EXPECT_LE(runtime_hash(addr(n)), runtime_hash(addr(child)));
    }
  }
  return 1 + check_tree(n->link[0], lo, r) + check_tree(n->link[1], r, hi);
}

void shape(const JiNode* n, std::string* out) {
  if (!n) {
    out->push_back('.');
    return;
  }
  *out += std::to_string(addr(n)) + "(";
  shape(n->link[0], out);
  shape(n->link[1], out);
  out->push_back(')');
}

TEST(JIndex, EmptyIndexFindThenInsertMakesRoot) {
  JiNode* root = nullptr;
  ji_pos_t pos;
  int key = 5;
  EXPECT_EQ(ji_find(&pos, &root, compare_int, &key), nullptr);
  EXPECT_EQ(pos.depth, 0u);
  EXPECT_EQ(ji_step(&pos, 1), nullptr);
  Rec r{{}, 5};
  ji_insert(&pos, &r.node);
  EXPECT_EQ(root, &r.node);
  EXPECT_EQ(pos.depth, 1u);
  ji_remove(&pos);
  EXPECT_EQ(root, nullptr);
}

TEST(JIndex, ShapeIsTheSameForEveryInsertionOrder) {
  std::vector<Rec> recs(300);
  for (size_t i = 0; i < recs.size(); ++i) recs[i].key = static_cast<int>(i / 2);  // pairs of equal keys
  std::vector<size_t> order(recs.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::mt19937 rng(7);
  std::string first;
  for (int round = 0; round < 6; ++round) {
    if (round == 1) std::reverse(order.begin(), order.end());
    if (round >= 2) std::shuffle(order.begin(), order.end(), rng);
    JiNode* root = nullptr;
    for (size_t i : order) ji_insert_multi(&root, compare_int, &recs[i].key, &recs[i].node);
    EXPECT_EQ(check_tree(root, nullptr, nullptr), recs.size());
    std::string s;
    shape(root, &s);
    if (round == 0) {
      first = s;
    } else {
      EXPECT_EQ(s, first) << "round " << round;
    }
  }
}

// Runs random operations against a multiset of (key, address) and compares
// every answer and, now and then, a full walk in both directions.
TEST(JIndex, MatchesOrderedMultisetUnderRandomOperations) {
  constexpr int RECORDS = 600;
  std::vector<Rec> recs(RECORDS);
  std::vector<bool> in(RECORDS, false);
  std::set<std::pair<int, uintptr_t>> model;
  JiNode* root = nullptr;
  std::mt19937 rng(12345);
  auto model_first = [&](int key) -> Rec* {
    auto it = model.lower_bound({key, 0});
    if (it == model.end() || it->first != key) return nullptr;
    return reinterpret_cast<Rec*>(it->second);
  };
  for (int step = 0; step < 20000; ++step) {
    const int i = static_cast<int>(rng() % RECORDS);
    Rec* r = &recs[static_cast<size_t>(i)];
    const int op = static_cast<int>(rng() % 6);
    if (!in[static_cast<size_t>(i)]) r->key = static_cast<int>(rng() % 150);
    switch (op) {
      case 0: {  // unique insert
        if (in[static_cast<size_t>(i)]) break;
        Rec* expect = model_first(r->key);
        JiNode* got = ji_insert_unique(&root, compare_int, &r->key, &r->node);
        ASSERT_EQ(got, expect ? &expect->node : nullptr);
        if (!got) {
          model.insert({r->key, addr(r)});
          in[static_cast<size_t>(i)] = true;
        }
        break;
      }
      case 1:  // multi insert
        if (in[static_cast<size_t>(i)]) break;
        ji_insert_multi(&root, compare_int, &r->key, &r->node);
        model.insert({r->key, addr(r)});
        in[static_cast<size_t>(i)] = true;
        break;
      case 2: {  // remove exactly this record
        if (!in[static_cast<size_t>(i)]) break;
        ji_remove_node(&root, compare_int, &r->key, &r->node);
        model.erase({r->key, addr(r)});
        in[static_cast<size_t>(i)] = false;
        break;
      }
      case 3: {  // find: first equal, else position at the next larger key
        const int key = static_cast<int>(rng() % 152) - 1;
        ji_pos_t pos;
        JiNode* got = ji_find(&pos, &root, compare_int, &key);
        Rec* expect = model_first(key);
        ASSERT_EQ(got, expect ? &expect->node : nullptr);
        ASSERT_EQ(ji_lookup(&root, compare_int, &key), got);
        auto it = model.lower_bound({key, 0});
        if (it == model.end()) {
          ASSERT_EQ(pos.depth, 0u);
        } else {
          ASSERT_GT(pos.depth, 0u);
          ASSERT_EQ(addr(pos.path[pos.depth - 1]), it->second);
          // Stepping back from there gives the model's predecessor.
          JiNode* prev = ji_step(&pos, 0);
          if (it == model.begin()) {
            ASSERT_EQ(prev, nullptr);
          } else {
            ASSERT_EQ(addr(prev), std::prev(it)->second);
          }
        }
        break;
      }
      case 4: {  // find_node: present or where it would go
        ji_pos_t pos;
        const int found = ji_find_node(&pos, &root, compare_int, &r->key, &r->node);
        ASSERT_EQ(found, in[static_cast<size_t>(i)] ? 1 : 0);
        if (found) {
          ASSERT_EQ(pos.path[pos.depth - 1], &r->node);
          auto it = model.find({r->key, addr(r)});
          JiNode* next = ji_step(&pos, 1);
          if (std::next(it) == model.end()) {
            ASSERT_EQ(next, nullptr);
          } else {
            ASSERT_EQ(addr(next), std::next(it)->second);
          }
        } else {
          auto it = model.lower_bound({r->key, addr(r)});
          if (it == model.end()) {
            ASSERT_EQ(pos.depth, 0u);
          } else {
            ASSERT_EQ(addr(pos.path[pos.depth - 1]), it->second);
          }
        }
        break;
      }
      default: {  // remove through a position found by key
        if (!in[static_cast<size_t>(i)]) break;
        ji_pos_t pos;
        ASSERT_EQ(ji_find_node(&pos, &root, compare_int, &r->key, &r->node), 1);
        ji_remove(&pos);
        model.erase({r->key, addr(r)});
        in[static_cast<size_t>(i)] = false;
        break;
      }
    }
    if (step % 500 == 0) {
      ASSERT_EQ(check_tree(root, nullptr, nullptr), model.size());
      ji_pos_t pos{&root, 0, {}};
      auto it = model.begin();
      for (JiNode* n = ji_step(&pos, 1); n; n = ji_step(&pos, 1), ++it) {
        ASSERT_NE(it, model.end());
        ASSERT_EQ(addr(n), it->second);
      }
      ASSERT_EQ(it, model.end());
      pos.depth = 0;
      auto rit = model.rbegin();
      for (JiNode* n = ji_step(&pos, 0); n; n = ji_step(&pos, 0), ++rit) {
        ASSERT_NE(rit, model.rend());
        ASSERT_EQ(addr(n), rit->second);
      }
      ASSERT_EQ(rit, model.rend());
    }
  }
}

TEST(JIndex, EqualKeysKeepAddressOrderAndRemoveExactlyTheRecord) {
  Rec recs[3] = {{{}, 4}, {{}, 4}, {{}, 9}};
  JiNode* root = nullptr;
  ji_insert_multi(&root, compare_int, &recs[1].key, &recs[1].node);
  ji_insert_multi(&root, compare_int, &recs[2].key, &recs[2].node);
  ji_insert_multi(&root, compare_int, &recs[0].key, &recs[0].node);
  int four = 4;
  EXPECT_EQ(ji_lookup(&root, compare_int, &four), &recs[0].node);  // lower address first
  EXPECT_EQ(ji_insert_unique(&root, compare_int, &four, &recs[1].node), &recs[0].node);
  ji_remove_node(&root, compare_int, &four, &recs[0].node);
  EXPECT_EQ(ji_lookup(&root, compare_int, &four), &recs[1].node);
  ji_pos_t pos{&root, 0, {}};
  EXPECT_EQ(ji_step(&pos, 1), &recs[1].node);
  EXPECT_EQ(ji_step(&pos, 1), &recs[2].node);
  EXPECT_EQ(ji_step(&pos, 1), nullptr);
  EXPECT_EQ(pos.depth, 0u);
}

// A corrupted tree deeper than a position can hold must stop the process
// rather than write past the path.
TEST(JIndex, PathOverflowIsFatal) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const std::string out = testing::TempDir() + "jindex_fatal.txt";
  std::vector<Rec> chain(60);
  for (size_t i = 0; i < chain.size(); ++i) {
    chain[i].key = static_cast<int>(1000 - i);
    chain[i].node.link[0] = i + 1 < chain.size() ? &chain[i + 1].node : nullptr;
  }
  JiNode* root = &chain[0].node;
  EXPECT_EXIT(
      {
        if (!std::freopen(out.c_str(), "w", stdout)) std::abort();
        int key = 0;
        ji_pos_t pos;
        (void)ji_find(&pos, &root, compare_int, &key);
      },
      testing::ExitedWithCode(255), "");
  std::ifstream in(out);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_NE(text.find("FATAL: base\\jindex:"), std::string::npos) << text;
  EXPECT_NE(text.find(" ji_pos_t link stack overflow detected"), std::string::npos) << text;
  std::remove(out.c_str());
}

}  // namespace
