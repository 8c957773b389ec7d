#include "kivora/player/packet_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

namespace kivora {
namespace {

struct Markers {
  AVPacket* flush = av_packet_alloc();
  AVPacket* eof = av_packet_alloc();
  Markers() {
    flush->data = reinterpret_cast<uint8_t*>(const_cast<char*>("FLUSH"));
    eof->data = reinterpret_cast<uint8_t*>(const_cast<char*>("EOF"));
  }
  ~Markers() {
    flush->data = eof->data = nullptr;
    av_packet_free(&flush);
    av_packet_free(&eof);
  }
};

AVPacket* DataPacket(int size, int stream = 0) {
  AVPacket* p = av_packet_alloc();
  av_new_packet(p, size);
  p->stream_index = stream;
  return p;
}

TEST(PacketQueue, NewQueueIsAbortedUntilStartedAndStartQueuesAFlushWithSerialOne) {
  Markers m;
  TAVPacketQueue q(m.flush, m.eof);
  AVPacketPtr pkt(DataPacket(10));
  EXPECT_EQ(q.Put(pkt.get()), -1);
  EXPECT_EQ(pkt->data, nullptr) << "a refused packet's payload is released";
  AVPacketPtr out(av_packet_alloc());
  EXPECT_EQ(q.Get(out.get(), false), -1);

  q.Start();
  int serial = -1;
  ASSERT_EQ(q.Get(out.get(), false, &serial), 1);
  EXPECT_TRUE(q.IsFlushPkt(out.get()));
  EXPECT_EQ(serial, 1);
  EXPECT_EQ(q.Get(out.get(), false), -1) << "empty queue read without blocking";
}

TEST(PacketQueue, KeepsOrderSerialsAndSizeAccounting) {
  Markers m;
  TAVPacketQueue q(m.flush, m.eof);
  q.Start();
  AVPacketPtr out(av_packet_alloc());
  q.Get(out.get(), false);  // the start flush

  for (int i = 0; i < 3; i++) {
    AVPacketPtr p(DataPacket(100 + i, i));
    ASSERT_EQ(q.Put(p.get()), 0);
  }
  EXPECT_EQ(q.NbPackets(), 3);
  EXPECT_EQ(q.Size(), 100 + 101 + 102 + 3 * TAVPacketQueue::NodeOverhead);
  q.Put(m.flush);
  EXPECT_EQ(q.Serial(), 2);
  AVPacketPtr p(DataPacket(7, 9));
  q.Put(p.get());

  int serial = 0;
  for (int i = 0; i < 3; i++) {
    ASSERT_EQ(q.Get(out.get(), false, &serial), 1);
    EXPECT_EQ(out->stream_index, i);
    EXPECT_EQ(out->size, 100 + i);
    EXPECT_EQ(serial, 1);
  }
  ASSERT_EQ(q.Get(out.get(), false, &serial), 1);
  EXPECT_TRUE(q.IsFlushPkt(out.get()));
  ASSERT_EQ(q.Get(out.get(), false, &serial), 1);
  EXPECT_EQ(out->stream_index, 9);
  EXPECT_EQ(serial, 2);
  EXPECT_EQ(q.Size(), 0);
  EXPECT_EQ(q.NbPackets(), 0);
}

TEST(PacketQueue, FlushEmptiesWithoutChangingTheSerialAndMarkersAreKnownByIdentity) {
  Markers m;
  TAVPacketQueue q(m.flush, m.eof);
  q.Start();
  AVPacketPtr p(DataPacket(50));
  q.Put(p.get());
  q.Flush();
  EXPECT_EQ(q.NbPackets(), 0);
  EXPECT_EQ(q.Size(), 0);
  EXPECT_EQ(q.Serial(), 1);

  // A packet whose bytes spell "EOF" is data, not the marker.
  AVPacketPtr lookalike(DataPacket(4));
  std::memcpy(lookalike->data, "EOF", 4);
  EXPECT_FALSE(q.IsEofPkt(lookalike.get()));
  q.Put(m.eof);
  q.put_nullpacket(3);
  AVPacketPtr out(av_packet_alloc());
  ASSERT_EQ(q.Get(out.get(), false), 1);
  EXPECT_TRUE(q.IsEofPkt(out.get()));
  ASSERT_EQ(q.Get(out.get(), false), 1);
  EXPECT_EQ(out->data, nullptr);
  EXPECT_EQ(out->size, 0);
  EXPECT_EQ(out->stream_index, 3);
}

TEST(PacketQueue, AbortWakesABlockedConsumer) {
  Markers m;
  TAVPacketQueue q(m.flush, m.eof);
  q.Start();
  AVPacketPtr out(av_packet_alloc());
  q.Get(out.get(), false);
  std::atomic<int> result{0};
  std::thread consumer([&] {
    AVPacketPtr o(av_packet_alloc());
    result = q.Get(o.get(), true);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  q.Abort();
  consumer.join();
  EXPECT_EQ(result.load(), -1);
}

TEST(PacketQueue, ProducerAndConsumerOnTwoThreadsLoseNothing) {
  Markers m;
  TAVPacketQueue q(m.flush, m.eof);
  q.Start();
  constexpr int N = 2000;
  std::thread producer([&] {
    for (int i = 0; i < N; i++) {
      AVPacketPtr p(DataPacket(8, i));
      q.Put(p.get());
    }
  });
  AVPacketPtr out(av_packet_alloc());
  q.Get(out.get(), true);  // flush
  for (int i = 0; i < N; i++) {
    ASSERT_EQ(q.Get(out.get(), true), 1);
    ASSERT_EQ(out->stream_index, i);
  }
  producer.join();
}

}  // namespace
}  // namespace kivora
