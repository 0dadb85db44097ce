// The instance registry: a circular doubly-linked list with a movable cursor
// that maps handles to instances. One global CSdkChain per process.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>

#include "api/issued_handles.h"

namespace kalvex {

class CKalvex;

template <class T>
class CTRing {
  public:
    struct Node {
        T data;
        Node *prev;
        Node *next;
    };

    CTRing() = default;
    CTRing(const CTRing &) = delete;
    CTRing &operator=(const CTRing &) = delete;
    virtual ~CTRing() { RemoveAll(); }

    // Adds a node before the cursor; the new node becomes the cursor. Throws
    // std::bad_alloc, leaving the list unchanged, when no node can be had.
    void Insert(const T &record) {
        Node *node = new Node{record, nullptr, nullptr};
        if (cursor_ == nullptr) {
            node->prev = node->next = node;
            cursor_ = node;
            count_ = 1;
            return;
        }
        ++count_;
        node->prev = cursor_->prev;
        node->next = cursor_;
        cursor_->prev->next = node;
        cursor_->prev = node;
        cursor_ = node;
    }

    // Moves the cursor to the first node with this handle, walking forward from
    // the cursor. A miss leaves the cursor on the node before the starting one.
    int Find(int32_t handle) {
        if (cursor_ == nullptr) return 0;
        const int32_t stop = cursor_->prev->data.handle;
        if (cursor_->data.handle == handle) return 1;
        for (;;) {
            if (cursor_->data.handle == stop) return 0;
            cursor_ = cursor_->next;
            if (cursor_->data.handle == handle) return 1;
        }
    }

    Node *Lookup(int32_t handle) { return Find(handle) ? cursor_ : nullptr; }

    int RemoveCurrent() {
        if (cursor_ == nullptr) return 0;
        if (cursor_->next == cursor_) {
            delete cursor_;
            cursor_ = nullptr;
            count_ = 0;
            return 1;
        }
        --count_;
        Node *gone = cursor_;
        gone->prev->next = gone->next;
        gone->next->prev = gone->prev;
        cursor_ = gone->next;
        delete gone;
        return 1;
    }

    int Remove(int32_t handle) { return Find(handle) ? RemoveCurrent() : 0; }

    void RemoveAll() {
        while (RemoveCurrent()) {
        }
    }

    Node *Cursor() const { return cursor_; }
    int32_t Count() const { return count_; }

  protected:
    Node *cursor_ = nullptr;
    int32_t count_ = 0;
};

// A registry entry. The instance is shared so that a call in flight keeps it
// alive while another thread releases the handle.
struct CSDKDATA {
    int32_t handle;
    std::shared_ptr<CKalvex> instance;
};

class CSdkChain : public CTRing<CSDKDATA> {
  public:
    // Builds an instance under handle = tick count + rand() + count (wrapping),
    // drawing again while the value is 0 or was issued before in this process.
    // 0 when the instance cannot be built or the issued set is full.
    int32_t CreateInstance();

    // The instance for a handle, or null. Safe against a concurrent Release.
    std::shared_ptr<CKalvex> Acquire(int32_t handle);

    // Forgets the handle and drops the registry's reference to its instance,
    // which is destroyed here unless a call in flight still holds it. 1, or 0
    // when the handle is unknown.
    int Release(int32_t handle);

    // Serialises every use of the list: even lookups move the cursor.
    std::mutex &Lock() { return lock_; }

  private:
    // Under the lock: the formula's next handle.
    int32_t DrawHandle() const;

    std::mutex lock_;
    // Every handle issued, released ones included; under the lock.
    IssuedHandles issued_;
};

// The process's registry.
CSdkChain &Registry();

}  // namespace kalvex
