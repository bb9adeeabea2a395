// The bounded queue: FIFO order, a full queue holding back pushes and an empty one holding back
// pops, under one and under many threads.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "pipeline/decode_slots.h"
#include "pipeline/job_queue.h"

namespace uq::pipeline {
namespace {

struct Item {
  int producer = -1;
  int seq = -1;
};

// Long enough for a thread that could go on to have done so; never needed for a pass.
void give_it_a_moment() { std::this_thread::sleep_for(std::chrono::milliseconds(20)); }

TEST(JobQueue, CapacityOneAlternatesPushAndPop) {
  JobQueue<Item> queue(1);
  std::atomic<int> pushed{0};
  std::thread producer([&] {
    for (int i = 0; i < 2000; ++i) {
      queue.push({0, i});
      pushed.store(i + 1);
    }
  });
  for (int i = 0; i < 2000; ++i) {
    Item item = queue.pop();
    EXPECT_EQ(item.seq, i);
    // One slot: the producer can be at most one job ahead of what was popped.
    EXPECT_LE(pushed.load(), i + 2);
  }
  producer.join();
  EXPECT_EQ(queue.size(), 0);
}

TEST(JobQueue, PopWaitsForALaterPushAndGetsThatJob) {
  JobQueue<Item> queue(4);
  std::atomic<bool> returned{false};
  Item got;
  std::thread consumer([&] {
    got = queue.pop();
    returned.store(true);
  });
  give_it_a_moment();
  EXPECT_FALSE(returned.load());
  queue.push({7, 42});
  consumer.join();
  EXPECT_TRUE(returned.load());
  EXPECT_EQ(got.producer, 7);
  EXPECT_EQ(got.seq, 42);
}

TEST(JobQueue, PushIntoAFullQueueWaitsForAPop) {
  for (int capacity : {1, 3, 16}) {
    JobQueue<Item> queue(capacity);
    for (int i = 0; i < capacity; ++i) queue.push({0, i});
    std::atomic<bool> returned{false};
    std::thread producer([&] {
      queue.push({0, capacity});
      returned.store(true);
    });
    give_it_a_moment();
    EXPECT_FALSE(returned.load()) << capacity;
    EXPECT_EQ(queue.size(), capacity);
    EXPECT_EQ(queue.pop().seq, 0);
    producer.join();
    EXPECT_TRUE(returned.load());
    // The ring wrapped: everything comes out in the order it went in.
    for (int i = 1; i <= capacity; ++i) EXPECT_EQ(queue.pop().seq, i);
  }
}

// The preferred job leaves from the middle of a wrapped, full ring; the others keep their order,
// a push that waited for room goes in, and plain pops go on in order after it.
TEST(JobQueue, APreferredJobIsTakenFirstAndTheOthersKeepTheirOrder) {
  JobQueue<Item> queue(5);
  for (int i = 0; i < 5; ++i) queue.push({0, i});
  EXPECT_EQ(queue.pop().seq, 0);
  EXPECT_EQ(queue.pop().seq, 1);
  queue.push({1, 5});
  queue.push({0, 6});  // the ring now holds 2, 3, 4, 5, 6 across its end
  // The highest seq among the oldest job's producer's.
  const auto prefer = [](const Item& later, const Item& earlier) {
    return later.producer == earlier.producer && later.seq > earlier.seq;
  };
  // A push into the full ring waits for the first pop, and its job then comes last.
  std::thread producer([&] { queue.push({2, 7}); });
  give_it_a_moment();
  for (int expected : {6, 4, 3, 2, 5, 7}) EXPECT_EQ(queue.pop_preferred(prefer).seq, expected);
  producer.join();
  EXPECT_EQ(queue.size(), 0);
  for (int i = 7; i < 11; ++i) queue.push({0, i});
  for (int i = 7; i < 11; ++i) EXPECT_EQ(queue.pop().seq, i);
}

// Every job arrives exactly once, and each consumer sees each producer's jobs in the order they
// were pushed.
TEST(JobQueue, FifoUnderManyProducersAndConsumers) {
  constexpr int kProducers = 4;
  constexpr int kConsumers = 4;
  constexpr int kPerProducer = 3000;
  for (int capacity : {1, 2, 5, 16, 32}) {
    JobQueue<Item> queue(capacity);
    std::vector<std::vector<Item>> received(kConsumers);
    std::vector<std::thread> threads;
    for (int c = 0; c < kConsumers; ++c) {
      threads.emplace_back([&, c] {
        for (;;) {
          Item item = queue.pop();
          if (item.producer < 0) return;
          received[c].push_back(item);
        }
      });
    }
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p) {
      producers.emplace_back([&, p] {
        for (int i = 0; i < kPerProducer; ++i) queue.push({p, i});
      });
    }
    for (std::thread& t : producers) t.join();
    for (int c = 0; c < kConsumers; ++c) queue.push({-1, -1});
    for (std::thread& t : threads) t.join();

    std::vector<std::vector<int>> seen(kProducers, std::vector<int>(kPerProducer, 0));
    for (const auto& list : received) {
      std::vector<int> last(kProducers, -1);
      for (const Item& item : list) {
        ASSERT_GT(item.seq, last[item.producer]) << "capacity " << capacity;
        last[item.producer] = item.seq;
        ++seen[item.producer][item.seq];
      }
    }
    for (const auto& counts : seen) {
      for (int n : counts) ASSERT_EQ(n, 1) << "capacity " << capacity;
    }
    EXPECT_EQ(queue.size(), 0);
  }
}

}  // namespace
}  // namespace uq::pipeline

namespace uq::pipeline {
namespace {

// However many threads ask, no more than the limit hold a slot at once, and every one gets one.
TEST(DecodeSlots, NoMoreThanTheLimitDecodeAtOnce) {
  DecodeSlots slots;
  slots.set_limit(2);
  std::atomic<int> busy{0}, most{0}, done{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 200; ++i) {
        slots.take();
        const int now = busy.fetch_add(1) + 1;
        int seen = most.load();
        while (now > seen && !most.compare_exchange_weak(seen, now)) {
        }
        std::this_thread::yield();
        busy.fetch_sub(1);
        slots.give_back();
        done.fetch_add(1);
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(done.load(), 1600);
  EXPECT_LE(most.load(), 2);
}

// The limit is used in full, and a third taker waits until a slot comes back. Whether the stress
// above ever overlaps two takers depends on the scheduler, so this is shown without threads racing.
TEST(DecodeSlots, AllSlotsAreGivenAndTheNextTakerWaitsForOne) {
  DecodeSlots slots;
  slots.set_limit(2);
  slots.take();
  slots.take();
  std::atomic<bool> third{false};
  std::thread taker([&] {
    slots.take();
    third = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(third.load());
  slots.give_back();
  taker.join();
  EXPECT_TRUE(third.load());
}

}  // namespace
}  // namespace uq::pipeline
