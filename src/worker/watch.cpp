#include "worker/watch.h"

using vt::Ref;

namespace vtm::worker {

namespace {

void unlink_locked(Entry*& head, Entry& e) {
  if (e.prev)
    e.prev->next = e.next;
  else
    head = e.next;
  if (e.next) e.next->prev = e.prev;
  e.prev = e.next = nullptr;
  e.listed = false;
}

}  // namespace

void Watch::enter(Entry& e, PyObject* worker, std::int64_t began_us) {
  std::lock_guard<std::mutex> lk(mu_);
  if (e.listed) return;
  e.worker = worker;
  e.began_us = began_us;
  e.prev = nullptr;
  e.next = head_;
  if (head_) head_->prev = &e;
  head_ = &e;
  e.listed = true;
}

void Watch::leave(Entry& e) {
  std::lock_guard<std::mutex> lk(mu_);
  if (e.listed) unlink_locked(head_, e);
}

std::vector<Ref> Watch::take_begun_before(std::int64_t cutoff_us) {
  std::vector<Ref> out;
  std::lock_guard<std::mutex> lk(mu_);
  for (Entry* e = head_; e;) {
    Entry* next = e->next;
    if (e->began_us < cutoff_us) {
      out.push_back(Ref::of(e->worker));
      unlink_locked(head_, *e);
    }
    e = next;
  }
  return out;
}

}  // namespace vtm::worker
