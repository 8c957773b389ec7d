#include "kivora/player/packet_queue.h"

namespace kivora {

TAVPacketQueue::TAVPacketQueue(const AVPacket* flushPkt, const AVPacket* eofPkt)
    : FFlushPkt(flushPkt), FEofPkt(eofPkt) {}

TAVPacketQueue::~TAVPacketQueue() { Flush(); }

void TAVPacketQueue::FreeNode(Node& n) {
  // Marker packets carry no buffer reference, so unref only clears the copy.
  av_packet_free(&n.pkt);
}

int TAVPacketQueue::Put_Private(AVPacket* pkt) {
  if (FAbortRequest) return -1;
  AVPacket* copy = av_packet_alloc();
  if (!copy) return -1;
  const bool marker = IsFlushPkt(pkt) || IsEofPkt(pkt);
  if (marker) {
    // A shallow copy: the marker's data pointer is what identifies it.
    copy->data = pkt->data;
    copy->size = pkt->size;
    copy->stream_index = pkt->stream_index;
  } else {
    av_packet_move_ref(copy, pkt);
  }
  if (IsFlushPkt(copy)) FSerial++;
  FList.push_back(Node{copy, FSerial.load()});
  FNbPackets++;
  FTotalPut++;
  FSize += copy->size + NodeOverhead;
  FCond.notify_one();
  return 0;
}

int TAVPacketQueue::Put(AVPacket* pkt) {
  int ret;
  {
    std::lock_guard<std::mutex> lock(FMutex);
    ret = Put_Private(pkt);
  }
  if (ret < 0 && !IsFlushPkt(pkt) && !IsEofPkt(pkt)) av_packet_unref(pkt);
  return ret;
}

int TAVPacketQueue::put_nullpacket(int stream_index) {
  AVPacket* pkt = av_packet_alloc();
  if (!pkt) return -1;
  pkt->data = nullptr;
  pkt->size = 0;
  pkt->stream_index = stream_index;
  int ret = Put(pkt);
  av_packet_free(&pkt);
  return ret;
}

int TAVPacketQueue::Get(AVPacket* pkt, bool block, int* serial) {
  std::unique_lock<std::mutex> lock(FMutex);
  for (;;) {
    if (FAbortRequest) return -1;
    if (!FList.empty()) {
      Node n = FList.front();
      FList.pop_front();
      FNbPackets--;
      FSize -= n.pkt->size + NodeOverhead;
      av_packet_unref(pkt);
      av_packet_move_ref(pkt, n.pkt);
      if (serial) *serial = n.serial;
      FreeNode(n);
      lock.unlock();
      if (FOnTaken) FOnTaken();
      return 1;
    }
    if (!block) return -1;
    FCond.wait(lock);
  }
}

void TAVPacketQueue::Flush() {
  std::lock_guard<std::mutex> lock(FMutex);
  for (Node& n : FList) FreeNode(n);
  FList.clear();
  FNbPackets = 0;
  FSize = 0;
}

void TAVPacketQueue::Abort() {
  std::lock_guard<std::mutex> lock(FMutex);
  FAbortRequest = true;
  FCond.notify_all();
}

void TAVPacketQueue::Start() {
  std::lock_guard<std::mutex> lock(FMutex);
  FAbortRequest = false;
  if (FFlushPkt) {
    AVPacket tmp{};
    tmp.data = FFlushPkt->data;
    tmp.size = FFlushPkt->size;
    Put_Private(&tmp);
  }
}

}  // namespace kivora
