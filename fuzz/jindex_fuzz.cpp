// jindex under an operation sequence decoded from the input: inserts (unique
// and multi), removals by node and by key, lookups and walks from a found
// position. After every step the index is walked both ways and compared with
// a std::multimap holding the same records, equal keys ordered by address.
#include <cstdint>
#include <iterator>
#include <map>
#include <vector>

#include "base/jindex.h"
#include "fuzz/fuzz_input.h"

namespace {

struct Record {
  JiNode node;  // first: the index links
  uint32_t key;
  bool indexed;
};

constexpr size_t RECORDS = 256;

int compare(const void* key, const JiNode* node) {
  const uint32_t a = *static_cast<const uint32_t*>(key);
  const uint32_t b = reinterpret_cast<const Record*>(node)->key;
  return a < b ? -1 : a > b ? 1 : 0;
}

using Model = std::multimap<uint32_t, Record*>;

// Adds `r` to the model after the equal keys at lower addresses.
void model_insert(Model& model, Record* r) {
  auto it = model.lower_bound(r->key);
  while (it != model.end() && it->first == r->key && it->second < r) ++it;
  model.insert(it, {r->key, r});
}

void model_erase(Model& model, Record* r) {
  for (auto it = model.lower_bound(r->key); it != model.end() && it->first == r->key; ++it) {
    if (it->second == r) {
      model.erase(it);
      return;
    }
  }
  FUZZ_CHECK(false, "the record is in the model");
}

void check_walks(JiNode** root, const Model& model) {
  ji_pos_t pos{};
  pos.root = root;
  pos.depth = 0;
  auto it = model.begin();
  for (JiNode* n = ji_step(&pos, 1); n; n = ji_step(&pos, 1), ++it) {
    FUZZ_CHECK(it != model.end(), "no more nodes than records");
    FUZZ_CHECK(n == &it->second->node, "forward walk in model order");
  }
  FUZZ_CHECK(it == model.end() && pos.depth == 0, "forward walk reaches every record");
  auto rit = model.rbegin();
  for (JiNode* n = ji_step(&pos, 0); n; n = ji_step(&pos, 0), ++rit) {
    FUZZ_CHECK(rit != model.rend(), "no more nodes than records");
    FUZZ_CHECK(n == &rit->second->node, "backward walk in reverse model order");
  }
  FUZZ_CHECK(rit == model.rend(), "backward walk reaches every record");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in{data, size};
  // Fixed addresses: the tree's shape depends on them, so a run repeats.
  static Record records[RECORDS];
  for (Record& r : records) r = Record{{{nullptr, nullptr}}, 0, false};
  JiNode* root = nullptr;
  Model model;
  const uint8_t key_mask = in.byte() | 1;  // few distinct keys make many equal ones

  while (in.size >= 2) {
    const uint8_t op = in.byte();
    const uint8_t arg = in.byte();
    Record* r = &records[arg % RECORDS];
    const uint32_t key = arg & key_mask;
    switch (op % 6) {
      case 0: {  // insert_multi of a free record
        if (r->indexed) break;
        r->key = key;
        ji_insert_multi(&root, compare, &r->key, &r->node);
        r->indexed = true;
        model_insert(model, r);
        break;
      }
      case 1: {  // insert_unique of a free record
        if (r->indexed) break;
        r->key = key;
        JiNode* existing = ji_insert_unique(&root, compare, &r->key, &r->node);
        auto first = model.find(key);
        if (first == model.end()) {
          FUZZ_CHECK(existing == nullptr, "inserted when the key is new");
          r->indexed = true;
          model_insert(model, r);
        } else {
          FUZZ_CHECK(existing && reinterpret_cast<Record*>(existing)->key == key,
                     "an existing record with the key is returned");
        }
        break;
      }
      case 2: {  // remove_node of an indexed record
        if (!r->indexed) break;
        ji_remove_node(&root, compare, &r->key, &r->node);
        r->indexed = false;
        model_erase(model, r);
        break;
      }
      case 3: {  // lookup: the first record with the key
        JiNode* found = ji_lookup(&root, compare, &key);
        const auto first = model.lower_bound(key);
        const bool present = first != model.end() && first->first == key;
        FUZZ_CHECK(found == (present ? &first->second->node : nullptr),
                   "lookup finds the first equal record");
        break;
      }
      case 4: {  // find then remove the first record with the key
        ji_pos_t pos;
        JiNode* found = ji_find(&pos, &root, compare, &key);
        auto first = model.lower_bound(key);
        const bool present = first != model.end() && first->first == key;
        FUZZ_CHECK(found == (present ? &first->second->node : nullptr), "find the first equal");
        if (found) {
          ji_remove(&pos);
          Record* gone = reinterpret_cast<Record*>(found);
          gone->indexed = false;
          model.erase(first);
        }
        break;
      }
      case 5: {  // find, then walk a few steps either way from the position
        ji_pos_t pos;
        ji_find(&pos, &root, compare, &key);
        auto it = model.lower_bound(key);
        FUZZ_CHECK((pos.depth == 0) == (it == model.end()), "the position after the key");
        if (pos.depth == 0) break;
        FUZZ_CHECK(pos.path[pos.depth - 1] == &it->second->node, "the smallest record not before");
        const int direction = arg & 1;
        for (int steps = 0; steps < 4; steps++) {
          JiNode* n = ji_step(&pos, direction);
          if (direction) {
            ++it;
            FUZZ_CHECK(n == (it == model.end() ? nullptr : &it->second->node), "next record");
            if (it == model.end()) break;
          } else {
            if (it == model.begin()) {
              FUZZ_CHECK(n == nullptr, "nothing before the first");
              break;
            }
            --it;
            FUZZ_CHECK(n == &it->second->node, "previous record");
          }
        }
        break;
      }
    }
    check_walks(&root, model);
  }
  return 0;
}
