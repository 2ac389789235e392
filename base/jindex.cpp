// The treap behind jindex. Priorities come from the node's address, so the
// tree needs no per-node data beyond its two links; every walk records its
// path in the position because nodes do not know their parents.
#include "base/jindex.h"

#include "base/runtime.h"

namespace {

// The module's name in fatal reports.
constexpr const char* JI_SOURCE = "base\\jindex";

uint32_t priority(const JiNode* node) {
  return runtime_hash(static_cast<uint64_t>(reinterpret_cast<uintptr_t>(node)));
}

void push(ji_pos_t* pos, size_t* length, JiNode* node) {
  if (*length >= JI_PATH_MAX) fatal_error(JI_SOURCE, __LINE__, "ji_pos_t link stack overflow detected");
  pos->path[(*length)++] = node;
}

// Pushes `from` and then follows `side` links to the end.
JiNode* descend(ji_pos_t* pos, JiNode* from, int side) {
  size_t length = pos->depth;
  for (JiNode* x = from; x; x = x->link[side]) push(pos, &length, x);
  pos->depth = length;
  return pos->path[length - 1];
}

// The link that holds path entry `index`: the root link or its parent's link.
JiNode** holder_of(ji_pos_t* pos, size_t index) {
  if (index == 0) return pos->root;
  JiNode* parent = pos->path[index - 1];
  return &parent->link[parent->link[1] == pos->path[index] ? 1 : 0];
}

}  // namespace

JiNode* ji_find(ji_pos_t* pos, JiNode** root, JiCompare compare, const void* key) {
  pos->root = root;
  pos->depth = 0;
  JiNode* found = nullptr;
  size_t length = 0;
  for (JiNode* x = *root; x;) {
    push(pos, &length, x);
    const int c = compare(key, x);
    if (c > 0) {
      x = x->link[1];
      continue;
    }
    // Keep going left so that an earlier equal node wins.
    if (c == 0) {
      found = x;
      pos->depth = length;
    } else if (!found) {
      pos->depth = length;
    }
    x = x->link[0];
  }
  return found;
}

int ji_find_node(ji_pos_t* pos, JiNode** root, JiCompare compare, const void* key,
                 const JiNode* node) {
  pos->root = root;
  pos->depth = 0;
  size_t length = 0;
  const auto sought = reinterpret_cast<uintptr_t>(node);
  for (JiNode* x = *root; x;) {
    push(pos, &length, x);
    const int c = compare(key, x);
    if (c == 0 && x == node) {
      pos->depth = length;
      return 1;
    }
    if (c > 0 || (c == 0 && reinterpret_cast<uintptr_t>(x) < sought)) {
      x = x->link[1];
    } else {
      pos->depth = length;
      x = x->link[0];
    }
  }
  return 0;
}

JiNode* ji_step(ji_pos_t* pos, int direction) {
  const int d = direction ? 1 : 0;
  if (pos->depth == 0) {
    if (!*pos->root) return nullptr;
    return descend(pos, *pos->root, 1 - d);
  }
  JiNode* current = pos->path[pos->depth - 1];
  if (current->link[d]) return descend(pos, current->link[d], 1 - d);
  for (size_t n = pos->depth; n > 1; --n) {
    JiNode* parent = pos->path[n - 2];
    if (parent->link[1 - d] == pos->path[n - 1]) {
      pos->depth = n - 1;
      return parent;
    }
  }
  pos->depth = 0;
  return nullptr;
}

void ji_insert(ji_pos_t* pos, JiNode* node) {
  node->link[0] = node->link[1] = nullptr;
  if (!*pos->root) {
    *pos->root = node;
    pos->path[0] = node;
    pos->depth = 1;
    return;
  }
  if (pos->depth == 0 || pos->path[pos->depth - 1]->link[0]) {
    // The previous node has no link 1 child: N goes there.
    JiNode* prev = ji_step(pos, 0);
    prev->link[1] = node;
  } else {
    pos->path[pos->depth - 1]->link[0] = node;
  }
  size_t length = pos->depth;
  push(pos, &length, node);
  const uint32_t p = priority(node);
  while (length > 1) {
    JiNode* q = pos->path[length - 2];
    if (!(p < priority(q))) break;
    const int s = q->link[1] == node ? 1 : 0;
    JiNode** holder = holder_of(pos, length - 2);
    q->link[s] = node->link[1 - s];
    node->link[1 - s] = q;
    *holder = node;
    pos->path[length - 2] = node;
    --length;
  }
  pos->depth = length;
}

void ji_remove(ji_pos_t* pos) {
  size_t length = pos->depth;
  JiNode* r = pos->path[length - 1];
  JiNode** holder = holder_of(pos, length - 1);
  for (;;) {
    int side;
    if (!r->link[0] && !r->link[1]) break;
    if (!r->link[0]) {
      side = 1;
    } else if (!r->link[1]) {
      side = 0;
    } else {
      side = priority(r->link[1]) < priority(r->link[0]) ? 1 : 0;
    }
    JiNode* k = r->link[side];
    *holder = k;
    r->link[side] = k->link[1 - side];
    k->link[1 - side] = r;
    pos->path[length - 1] = k;
    push(pos, &length, r);
    holder = &k->link[1 - side];
  }
  *holder = nullptr;
  pos->depth = 0;
}

JiNode* ji_lookup(JiNode** root, JiCompare compare, const void* key) {
  ji_pos_t pos;
  return ji_find(&pos, root, compare, key);
}

JiNode* ji_insert_unique(JiNode** root, JiCompare compare, const void* key, JiNode* node) {
  ji_pos_t pos;
  if (JiNode* existing = ji_find(&pos, root, compare, key)) return existing;
  ji_insert(&pos, node);
  return nullptr;
}

void ji_insert_multi(JiNode** root, JiCompare compare, const void* key, JiNode* node) {
  ji_pos_t pos;
  if (ji_find_node(&pos, root, compare, key, node)) return;
  ji_insert(&pos, node);
}

void ji_remove_node(JiNode** root, JiCompare compare, const void* key, JiNode* node) {
  ji_pos_t pos;
  if (ji_find_node(&pos, root, compare, key, node)) ji_remove(&pos);
}
