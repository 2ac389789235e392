// An ordered index that allocates nothing: each record embeds a JiNode as its
// first member and the owner keeps one root link. It is a treap ordered by the
// caller's comparison and heap-ordered by a priority hashed from each node's
// address, so its expected depth is logarithmic with no balance data in the
// nodes and its shape depends only on the keys and addresses. Nodes have no
// parent links; a ji_pos_t on the caller's stack records the path instead.
// No locking: the owner serialises all use of one index.
#pragma once

#include <cstddef>
#include <cstdint>

// The node header at the start of every indexed record.
struct JiNode {
  JiNode* link[2];  // 0: records sorting before this one; 1: after. Cleared by insertion
};

// Compares `key` with `node`: negative when the key sorts before the node, 0
// when equal, positive when after.
using JiCompare = int (*)(const void* key, const JiNode* node);

// The longest path a position can hold; a deeper tree is a fatal error.
constexpr size_t JI_PATH_MAX = 58;

// A position in an index: the path from the root to the current node.
struct ji_pos_t {
  JiNode** root;              // the index's root link
  uint64_t depth;             // valid path entries; 0 = no current node
  JiNode* path[JI_PATH_MAX];  // path[0] is the root, path[depth - 1] the current node
};

// Returns the first node equal to `key`, or null. The position ends at that
// node or, when none is equal, at the smallest node after the key (depth 0
// when there is none).
JiNode* ji_find(ji_pos_t* pos, JiNode** root, JiCompare compare, const void* key);
// Returns 1 when `node` itself is in the index (the position ends at it), else
// 0 with the position where it would be inserted; equal keys are ordered by
// node address, lower first.
int ji_find_node(ji_pos_t* pos, JiNode** root, JiCompare compare, const void* key,
                 const JiNode* node);
// Moves to the previous (direction 0) or next (1) node and returns it; null at
// either end (depth then 0). From depth 0, direction 0 gives the last node and
// 1 the first.
JiNode* ji_step(ji_pos_t* pos, int direction);
// Inserts `node` where ji_find or ji_find_node left `pos`; the position then
// ends at the new node.
void ji_insert(ji_pos_t* pos, JiNode* node);
// Removes the current node. The position is not valid afterwards.
// REQUIRES: depth > 0.
void ji_remove(ji_pos_t* pos);

// Returns the first node equal to `key`, or null.
JiNode* ji_lookup(JiNode** root, JiCompare compare, const void* key);
// Inserts `node` unless a node with an equal key exists; returns null when
// inserted, else that node (and nothing changes).
JiNode* ji_insert_unique(JiNode** root, JiCompare compare, const void* key, JiNode* node);
// Inserts `node` after the equal keys at lower addresses.
void ji_insert_multi(JiNode** root, JiCompare compare, const void* key, JiNode* node);
// Removes exactly `node`. REQUIRES: `node` is in the index under `key`.
void ji_remove_node(JiNode** root, JiCompare compare, const void* key, JiNode* node);
