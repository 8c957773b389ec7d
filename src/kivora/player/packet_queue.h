#pragma once
// The player's thread-safe packet FIFO between the read thread and one
// decoder. Every flush marker queued starts a new serial, so decoders and
// clocks can tell data from before a seek from data after it.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>

#include "kivora/runtime/ffmpeg.h"

namespace kivora {

class TAVPacketQueue {
public:
  // Bytes of bookkeeping counted per packet, so floods of tiny packets also
  // reach the queue size limit.
  static constexpr int NodeOverhead = 80;

  // The markers are the player's; the queue never frees them. A packet is a
  // marker when its data pointer is the marker's data pointer.
  TAVPacketQueue(const AVPacket* flushPkt, const AVPacket* eofPkt);
  ~TAVPacketQueue();
  TAVPacketQueue(const TAVPacketQueue&) = delete;
  TAVPacketQueue& operator=(const TAVPacketQueue&) = delete;

  // Takes over pkt's payload (pkt is left empty). Returns 0, or -1 when the
  // queue is aborted (the payload is then released).
  int Put(AVPacket* pkt);
  // Queues an empty packet for stream_index: tells the decoder to drain.
  int put_nullpacket(int stream_index);
  // Moves the next packet into pkt. Returns 1, or -1 when aborted or (not
  // blocking) empty. serial receives the packet's serial when given.
  int Get(AVPacket* pkt, bool block, int* serial = nullptr);
  // Releases every queued packet; the serial is unchanged.
  void Flush();
  // Refuses new packets and wakes a blocked Get.
  void Abort();
  // Accepts packets again and queues the flush marker first.
  void Start();

  bool IsFlushPkt(const AVPacket* pkt) const { return pkt && FFlushPkt && pkt->data == FFlushPkt->data; }
  bool IsEofPkt(const AVPacket* pkt) const { return pkt && FEofPkt && pkt->data == FEofPkt->data; }

  int Serial() const { return FSerial.load(); }
  const std::atomic<int>* SerialPtr() const { return &FSerial; }
  int NbPackets() const { return FNbPackets.load(); }
  int Size() const { return FSize.load(); }
  bool Aborted() const { return FAbortRequest.load(); }
  // Packets (markers included) accepted since the queue was made.
  int64_t TotalPut() const { return FTotalPut.load(); }
  // Called (outside the queue's lock) each time Get took a packet: for the
  // reader waiting for room. Set before any thread uses the queue.
  void SetOnTaken(std::function<void()> fn) { FOnTaken = std::move(fn); }

private:
  struct Node {
    AVPacket* pkt;
    int serial;
  };
  int Put_Private(AVPacket* pkt);
  static void FreeNode(Node& n);

  const AVPacket* FFlushPkt;
  const AVPacket* FEofPkt;
  std::deque<Node> FList;
  std::atomic<int> FSerial{0};
  std::atomic<int> FNbPackets{0};
  std::atomic<int> FSize{0};
  std::atomic<int64_t> FTotalPut{0};
  std::atomic<bool> FAbortRequest{true};
  std::mutex FMutex;
  std::condition_variable FCond;
  std::function<void()> FOnTaken;
};

}  // namespace kivora
