#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "engine/rwlock.hpp"

using zub::RwLock;

TEST(RwLock, ReadersShareWritersExclude) {
  RwLock lock;
  ASSERT_TRUE(lock.try_lock_shared());
  ASSERT_TRUE(lock.try_lock_shared());
  EXPECT_FALSE(lock.try_lock());
  lock.unlock_shared();
  EXPECT_FALSE(lock.try_lock());
  lock.unlock_shared();
  ASSERT_TRUE(lock.try_lock());
  EXPECT_FALSE(lock.try_lock_shared());
  EXPECT_FALSE(lock.try_lock());
  lock.unlock();
  EXPECT_TRUE(lock.try_lock_shared());
  lock.unlock_shared();
}

TEST(RwLock, PoisonStays) {
  RwLock lock;
  EXPECT_FALSE(lock.poisoned());
  lock.poison();
  ASSERT_TRUE(lock.try_lock());
  lock.unlock();
  EXPECT_TRUE(lock.poisoned());
}

// Once a writer waits, fresh readers queue behind it (threads reading in
// turn cannot keep it out for ever); a thread that reads already may read
// again, since the writer waits for it.
TEST(RwLock, WaitingWriterHoldsOffFreshReadersOnly) {
  RwLock lock;
  ASSERT_TRUE(lock.try_lock_shared());
  std::atomic<bool> writer_in{false};
  std::thread writer([&] {
    lock.lock();
    writer_in = true;
    lock.unlock();
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(writer_in.load());
  std::atomic<bool> fresh_in{false};
  std::thread fresh([&] {
    EXPECT_FALSE(lock.try_lock_shared());
    lock.lock_shared();
    fresh_in = true;
    EXPECT_TRUE(writer_in.load());  // admitted only after the writer
    lock.unlock_shared();
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(fresh_in.load());
  lock.lock_shared(RwLock::reentrant);
  lock.unlock_shared();
  EXPECT_FALSE(writer_in.load());
  lock.unlock_shared();
  writer.join();
  fresh.join();
  EXPECT_TRUE(writer_in.load());
  EXPECT_TRUE(fresh_in.load());
}

TEST(RwLock, WaitingReadersWakeAfterWriter) {
  RwLock lock;
  lock.lock();
  std::atomic<int> readers_in{0};
  std::vector<std::thread> readers;
  for (int i = 0; i < 3; ++i)
    readers.emplace_back([&] {
      lock.lock_shared();
      ++readers_in;
      lock.unlock_shared();
    });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(readers_in.load(), 0);
  lock.unlock();
  for (auto& t : readers) t.join();
  EXPECT_EQ(readers_in.load(), 3);
}

TEST(RwLock, WritersSeeNoTornState) {
  RwLock lock;
  long a = 0, b = 0;
  std::atomic<bool> torn{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 2; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 20000; ++i) {
        lock.lock();
        ++a;
        ++b;
        lock.unlock();
      }
    });
  for (int t = 0; t < 2; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 20000; ++i) {
        lock.lock_shared();
        if (a != b) torn = true;
        lock.unlock_shared();
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_FALSE(torn.load());
  EXPECT_EQ(a, 40000);
  EXPECT_EQ(b, 40000);
}
