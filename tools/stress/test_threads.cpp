// Several threads hammer one engine state the way the methods drive it: the
// borrow counter around each call, the group stack's lock, the tree's
// reader-writer lock, and the tree walks under them. Only the interpreter
// is left out: where a guard would detach the thread state to wait, these
// threads simply wait. Built and run with ThreadSanitizer by `./dev tsan`;
// ZUB_STRESS_SECONDS sets the duration.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "engine/borrow.hpp"
#include "engine/rwlock.hpp"
#include "engine/tree_ops.hpp"

namespace zub {
namespace {

// What EngineState holds, minus the driver and the path.
struct State {
  RwLock groups_lock;
  std::vector<std::string> groups;
  RwLock tree_lock;
  Value tree{Object{}};
  std::atomic<std::uint64_t> borrow{0};
};

// The guards' locking without the interpreter.
class Read {
 public:
  explicit Read(RwLock& l) : l_(l) {
    if (!l_.try_lock_shared()) l_.lock_shared();
  }
  ~Read() { l_.unlock_shared(); }

 private:
  RwLock& l_;
};
class Write {
 public:
  explicit Write(RwLock& l) : l_(l) {
    if (!l_.try_lock()) l_.lock();
  }
  ~Write() { l_.unlock(); }

 private:
  RwLock& l_;
};

// Group stack reads during shared use take no lock (GroupsReadGuard): the
// stack only changes under exclusive use.
bool groups_stable(const State& s) { return !s.groups_lock.held_for_writing(); }

std::string joined(const std::vector<std::string_view>& parent, std::string_view last) {
  std::string out;
  for (auto p : parent) (out += p) += '/';
  return out += last;
}

bool ordered(const Value& v) {
  if (const Object* o = v.if_object()) {
    const Member* prev = nullptr;
    for (const auto& m : *o) {
      if (prev && !(prev->key < m.key)) return false;
      if (!ordered(m.value)) return false;
      prev = &m;
    }
  } else if (v.is_array()) {
    for (const auto& item : v.as_array())
      if (!ordered(item)) return false;
  }
  return true;
}

struct Counts {
  std::uint64_t ops = 0, conflicts = 0, faults = 0;
};

// Keys a thread owns live under "t<id>/" at the root; the one group ever
// entered is "scratch", and clear() only runs inside it, so a write that
// lands under it (made while it was entered) is not tracked.
struct Worker {
  State& s;
  int id;
  std::mt19937_64 rng;
  std::map<std::string, std::optional<std::uint64_t>> expected;  // absolute path -> last write
  Counts counts;
  std::uint64_t serial = 0;

  std::string own_key() {
    auto n = rng() % 24;
    return "t" + std::to_string(id) + (n % 3 ? "/k" : "/g" + std::to_string(n % 4) + "/k") + std::to_string(n);
  }

  // set_value / remove: copy the groups, build the path, change under the write lock.
  void change(const std::string& key, std::optional<std::uint64_t> v) {
    auto use = Borrow::shared(s.borrow);
    if (!use) return void(++counts.conflicts);
    std::vector<std::string> groups;
    if (!groups_stable(s)) ++counts.faults;
    groups = s.groups;
    auto path = build_full_path(groups, key);
    if (!path) return void(++counts.faults);
    Write w(s.tree_lock);
    auto target = ensure_object_path(s.tree.as_object(), path->parent);
    if (!target) return void(++counts.faults);
    if (v)
      (*target)->insert_or_assign(path->last, Value(*v));
    else
      (*target)->erase(path->last);
    std::string where = joined(path->parent, path->last);
    if (where.rfind("scratch/", 0) != 0) expected[where] = v;
  }

  // value / contains: the owner's last write is what it reads back, unless
  // the scratch group is entered and the lookup lands there.
  void lookup() {
    std::string key = own_key();
    auto use = Borrow::shared(s.borrow);
    if (!use) return void(++counts.conflicts);
    Read r(s.tree_lock);
    if (!groups_stable(s)) ++counts.faults;
    const Value* node = find_node(s.tree, s.groups, key);
    if (!s.groups.empty()) return;
    auto it = expected.find(key);
    std::optional<std::uint64_t> want = it == expected.end() ? std::nullopt : it->second;
    if (want.has_value() != (node != nullptr) || (node && !(*node == Value(*want)))) ++counts.faults;
  }

  void list_all() {
    auto use = Borrow::shared(s.borrow);
    if (!use) return void(++counts.conflicts);
    Read r(s.tree_lock);
    std::vector<std::string> keys;
    if (const Value* node = find_node(s.tree, s.groups, {})) collect_keys_recursive(*node, {}, keys);
    // Member names here sort after '/', so depth-first order is sorted order.
    if (!std::is_sorted(keys.begin(), keys.end()) || !ordered(s.tree)) ++counts.faults;
  }

  // begin_group / end_group: exclusive use, then the group stack's write lock.
  bool group_op(bool push) {
    auto use = Borrow::exclusive(s.borrow);
    if (!use) return ++counts.conflicts, false;
    Write w(s.groups_lock);
    if (push)
      s.groups.push_back("scratch");
    else if (!s.groups.empty())
      s.groups.pop_back();
    return true;
  }

  // clear: shared use, the tree's write lock, the current group's object emptied.
  void clear_scratch() {
    auto use = Borrow::shared(s.borrow);
    if (!use) return void(++counts.conflicts);
    Write w(s.tree_lock);
    if (s.groups.size() != 1) return void(++counts.faults);  // only worker 0 enters it
    auto target = ensure_object_path(s.tree.as_object(), s.groups);
    if (!target) return void(++counts.faults);
    (*target)->clear();
  }

  void run(std::chrono::steady_clock::time_point until) {
    while (std::chrono::steady_clock::now() < until) {
      ++counts.ops;
      auto r = rng() % 100;
      if (r < 30)
        lookup();
      else if (r < 55)
        change(own_key(), ++serial);
      else if (r < 65)
        change(own_key(), std::nullopt);
      else if (r < 72)
        list_all();
      else if (r < 85)
        change("scratch/x" + std::to_string(rng() % 8), ++serial);
      else if (id == 0) {
        // Enter the group, empty it, leave it; each step retried until the
        // object is free, as a caller that counts conflicts would.
        while (!group_op(true)) std::this_thread::yield();
        clear_scratch();
        while (!group_op(false)) std::this_thread::yield();
      } else if (auto use = Borrow::exclusive(s.borrow)) {
        Write w(s.groups_lock);  // a begin_group that enters nothing
      } else {
        ++counts.conflicts;
      }
    }
  }
};

TEST(EngineStress, ThreadsKeepTheirWritesAndTheTreeStaysOrdered) {
  const char* env = std::getenv("ZUB_STRESS_SECONDS");
  const double seconds = env ? std::atof(env) : 0.5;
  constexpr int thread_count = 6;
  State s;
  std::vector<Worker> workers;
  for (int t = 0; t < thread_count; ++t) workers.push_back(Worker{s, t, std::mt19937_64(static_cast<std::uint64_t>(t) + 1), {}, {}, 0});
  const auto until = std::chrono::steady_clock::now() +
                     std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(seconds));
  {
    std::vector<std::jthread> threads;
    for (auto& w : workers) threads.emplace_back([&w, until] { w.run(until); });
  }
  EXPECT_TRUE(s.groups.empty());
  EXPECT_EQ(s.borrow.load(), 0u);
  EXPECT_TRUE(ordered(s.tree));
  Counts total;
  std::size_t tracked = 0;
  for (const auto& w : workers) {
    total.ops += w.counts.ops;
    total.conflicts += w.counts.conflicts;
    total.faults += w.counts.faults;
    for (const auto& [path, want] : w.expected) {
      const Value* node = find_node(s.tree, {}, path);
      if (want) {
        ASSERT_NE(node, nullptr) << path;
        EXPECT_EQ(*node, Value(*want)) << path;
      } else {
        EXPECT_EQ(node, nullptr) << path;
      }
      ++tracked;
    }
  }
  EXPECT_EQ(total.faults, 0u);
  EXPECT_GT(tracked, 0u);
  std::printf("%d threads, %.1f s: %llu operations (%.0f per second), %llu conflicts\n", thread_count,
              seconds, static_cast<unsigned long long>(total.ops), static_cast<double>(total.ops) / seconds,
              static_cast<unsigned long long>(total.conflicts));
}

}  // namespace
}  // namespace zub
