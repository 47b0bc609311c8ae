/*
 * twlb_mem_pool.cpp - fixed-size slots handed out from chunks. Every slot is
 * on the free list or the busy list (doubly linked, both ends held); chunks
 * are found again at destroy through bit 0 of slot_status on each chunk's
 * first slot. Chunks come straight from malloc and are released through the
 * tracked release. With handler_flag 1, the list operations hold
 * mem_pool_lock (not recursive: chunk creation from a get runs under it).
 */
#include "twlb_mem_pool.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "twlb_alloc.h"
#include "twlb_log.h"
#include "twlb_util.h"

namespace {

constexpr int kDefaultSlots = 10;

// Holds mem_pool_lock for a scope when the pool is a locking one.
class PoolLock {
 public:
  explicit PoolLock(twlb_mp_handler *mpool)
      : lock_(mpool->handler_flag == 1 ? &mpool->mem_pool_lock : nullptr) {
    if (lock_) pthread_mutex_lock(lock_);
  }
  ~PoolLock() {
    if (lock_) pthread_mutex_unlock(lock_);
  }
  PoolLock(const PoolLock &) = delete;
  PoolLock &operator=(const PoolLock &) = delete;

 private:
  pthread_mutex_t *lock_;
};

// Chunk memory exhausted: the pool's own fatal end (status 1).
[[noreturn]] void chunk_out_of_memory(int size) {
  fprintf(stderr, "Out of Memory (size = %d): %s \n", size,
          "Allocating memory pool");
  exit(1);
}

node *slot_at(char *chunk, int slot_size, int i) {
  return reinterpret_cast<node *>(chunk + static_cast<long>(i) * slot_size);
}

// Slot count of the next chunk under the maximum; below 1 when none fits.
int next_chunk_slots(const twlb_mp_handler *mpool) {
  int n = mpool->num_malloced_slot == 0 ? mpool->num_slots_init
                                        : mpool->num_slots_increment;
  if (mpool->num_slots_max != 0) {
    // int arithmetic as the pool's sizes are; a product beyond an int wraps
    // (defined, not undefined, through the 64-bit product).
    int total = static_cast<int>(
        mpool->num_slots_init +
        static_cast<int64_t>(mpool->num_slots_increment) *
            mpool->num_malloced_slot);
    if (total > mpool->num_slots_max) n -= total - mpool->num_slots_max;
  }
  return n;
}

// Links the n slots of a fresh chunk into one list from first to last.
void link_chunk(char *chunk, int slot_size, int n) {
  for (int i = 0; i < n; i++) {
    node *cur = slot_at(chunk, slot_size, i);
    cur->prev = i > 0 ? slot_at(chunk, slot_size, i - 1) : nullptr;
    cur->next = i + 1 < n ? slot_at(chunk, slot_size, i + 1) : nullptr;
    TWLB_TRACE(TWLB_LOG_MINOR, API,
               "Add Dump: i = %d, cur_slot = %p, prev_slot = %p, next_slot = "
               "%p",
               i, static_cast<void *>(cur), static_cast<void *>(cur->prev),
               static_cast<void *>(cur->next));
  }
}

void push_tail(node **head, node **tail, node *slot) {
  slot->next = nullptr;
  slot->prev = *tail;
  if (*tail)
    (*tail)->next = slot;
  else
    *head = slot;
  *tail = slot;
}

void push_head(node **head, node **tail, node *slot) {
  slot->prev = nullptr;
  slot->next = *head;
  if (*head)
    (*head)->prev = slot;
  else
    *tail = slot;
  *head = slot;
}

// Unlinks slot from the list wherever it stands; its own links are kept.
void unlink(node **head, node **tail, node *slot) {
  if (slot->prev)
    slot->prev->next = slot->next;
  else
    *head = slot->next;
  if (slot->next)
    slot->next->prev = slot->prev;
  else
    *tail = slot->prev;
}

node *pop_head(node **head, node **tail) {
  node *slot = *head;
  if (slot) unlink(head, tail, slot);
  return slot;
}

// Busy slot back to the free list, at its tail or (at_head) its head.
void give_back(twlb_mp_handler *mpool, void *slot_ptr, bool at_head) {
  TWLB_TRACE(TWLB_LOG_MAJOR, API, "Method called, mpool = %p, slot =%p",
             static_cast<void *>(mpool), slot_ptr);
  if (!mpool || !slot_ptr) return;
  node *slot = static_cast<node *>(slot_ptr);
  PoolLock lock(mpool);
  TWLB_TRACE(TWLB_LOG_MINOR, API,
             "current slot = %p, next slot = %p, previous slot = %p", slot_ptr,
             static_cast<void *>(slot->next), static_cast<void *>(slot->prev));
  unlink(&mpool->busy_head, &mpool->busy_tail, slot);
  if (at_head)
    push_head(&mpool->free_head, &mpool->free_tail, slot);
  else
    push_tail(&mpool->free_head, &mpool->free_tail, slot);
  TWLB_TRACE(TWLB_LOG_MINOR, API,
             "busy_[head|tail] = [%p|%p], free_[head|tail] = [%p|%p]",
             static_cast<void *>(mpool->busy_head),
             static_cast<void *>(mpool->busy_tail),
             static_cast<void *>(mpool->free_head),
             static_cast<void *>(mpool->free_tail));
}

}  // namespace

extern "C" {

int twlb_mp_init(twlb_mp_handler *mpool, int slot_size, int num_slot_init,
                 int num_slots_increment, int handle_flag) {
  memset(static_cast<void *>(mpool), 0, sizeof *mpool);
  if (slot_size == 0) return 1;
  TWLB_TRACE(TWLB_LOG_MAJOR, API,
             "Method Called,mpool = %p, slot_size = %d, num_slot_init = %d, "
             "num_slots_increment = %d, handle_flag = %d",
             static_cast<void *>(mpool), slot_size, num_slot_init,
             num_slots_increment, handle_flag);
  mpool->slot_size = slot_size;
  mpool->num_slots_init = num_slot_init > 0 ? num_slot_init : kDefaultSlots;
  mpool->num_slots_increment = num_slots_increment > 0 ? num_slots_increment
                                                       : kDefaultSlots;
  mpool->handler_flag = handle_flag == 1 ? 1 : 0;
  TWLB_TRACE(TWLB_LOG_MINOR, API,
             "memory pool handler dump :  mpool->slot_size = %d, "
             "mpool->num_slots_init = %d,mpool->num_slots_increment = %d, "
             "mpool->handler_flag =%d",
             mpool->slot_size, mpool->num_slots_init,
             mpool->num_slots_increment, mpool->handler_flag);
  return 0;
}

int twlb_mp_create(twlb_mp_handler *mpool) {
  if (!mpool || mpool->slot_size == 0) return 1;
  TWLB_TRACE(TWLB_LOG_MAJOR, API,
             "Method called,  mpool = %p, slot_size = %d, num_slots = %d ",
             static_cast<void *>(mpool), mpool->slot_size,
             mpool->num_slots_init);
  int n = next_chunk_slots(mpool);
  if (n < 1) {
    twlb_set_error(const_cast<char *>("Memory pool max limit reached"));
    return -1;
  }
  // A size beyond an int wraps, as int arithmetic would, to the size the
  // check below refuses when it is 0 or less (defined through 64 bits).
  int size = static_cast<int>(static_cast<int64_t>(mpool->slot_size) * n);
  TWLB_TRACE(TWLB_LOG_MAJOR, API,
             "Allocating memory pool of size = %d, size of slot_size = %d, "
             "size of node = %zu, num_slots = %d",
             size, mpool->slot_size, sizeof(node), n);
  if (size <= 0) {
    fprintf(stderr, "Trying to malloc a negative size memory size = %d \n",
            size);
    return -1;
  }
  char *chunk = static_cast<char *>(twlb_sys_malloc(static_cast<size_t>(size)));
  if (!chunk) chunk_out_of_memory(size);
  memset(chunk, 0, static_cast<size_t>(size));
  TWLB_TRACE(TWLB_LOG_MAJOR, API, "After pool allcation, head = %p",
             static_cast<void *>(chunk));
  slot_at(chunk, mpool->slot_size, 0)->slot_status |= 1;
  mpool->num_malloced_slot++;
  link_chunk(chunk, mpool->slot_size, n);
  mpool->free_head = slot_at(chunk, mpool->slot_size, 0);
  mpool->free_tail = slot_at(chunk, mpool->slot_size, n - 1);
  TWLB_TRACE(TWLB_LOG_MINOR, API,
             "Dump (twlb_mp_handler):  head = %p, free_[head|tail] = [%p|%p], "
             "busy_[head|tail] = [%p|%p], slot_size = %d, num_slots = %d, "
             "ret_val = %d",
             static_cast<void *>(chunk), static_cast<void *>(mpool->free_head),
             static_cast<void *>(mpool->free_tail),
             static_cast<void *>(mpool->busy_head),
             static_cast<void *>(mpool->busy_tail), mpool->slot_size,
             mpool->num_slots_init, 0);
  return 0;
}

void *twlb_mp_get_slot(twlb_mp_handler *mpool) {
  if (!mpool) return nullptr;
  TWLB_TRACE(TWLB_LOG_MAJOR, API,
             "Method called, mpool = %p, mpool->free_head = %p",
             static_cast<void *>(mpool), static_cast<void *>(mpool->free_head));
  PoolLock lock(mpool);
  if (!mpool->free_head) {
    mpool->free_tail = nullptr;
    if (twlb_mp_create(mpool) != 0) return nullptr;
  }
  node *slot = pop_head(&mpool->free_head, &mpool->free_tail);
  push_tail(&mpool->busy_head, &mpool->busy_tail, slot);
  TWLB_TRACE(TWLB_LOG_MINOR, API,
             "free = %p, mpool->free_[head|tail] = [%p|%p], "
             "mpool->busy_[head|tail] = [%p|%p]",
             static_cast<void *>(slot), static_cast<void *>(mpool->free_head),
             static_cast<void *>(mpool->free_tail),
             static_cast<void *>(mpool->busy_head),
             static_cast<void *>(mpool->busy_tail));
  return slot;
}

void twlb_mp_free_slot(twlb_mp_handler *mpool, void *slot) {
  give_back(mpool, slot, false);
}

void twlb_mp_free_slot_ex(twlb_mp_handler *mpool, void *slot) {
  give_back(mpool, slot, true);
}

void twlb_mp_free_all_slots(twlb_mp_handler *mpool) {
  if (!mpool) return;
  while (void *slot = twlb_mp_check_busy_head(mpool))
    twlb_mp_free_slot(mpool, slot);
}

void *twlb_mp_get_busy_head(twlb_mp_handler *mpool) {
  if (!mpool) return nullptr;
  PoolLock lock(mpool);
  node *slot = mpool->busy_head;
  if (!slot) return nullptr;
  mpool->busy_head = slot->next;
  if (mpool->busy_head)
    mpool->busy_head->prev = nullptr;
  else
    mpool->busy_tail = nullptr;
  return slot;  // its own links are left as they were
}

void *twlb_mp_check_busy_head(twlb_mp_handler *mpool) {
  if (!mpool) return nullptr;
  PoolLock lock(mpool);
  return mpool->busy_head;
}

void twlb_mp_free_busy_head(twlb_mp_handler *mpool, void *slot) {
  if (!mpool || !slot) return;
  PoolLock lock(mpool);
  push_head(&mpool->free_head, &mpool->free_tail, static_cast<node *>(slot));
}

void twlb_mp_set_max(twlb_mp_handler *mpool, int max) {
  if (mpool) mpool->num_slots_max = max;
}

void twlb_mp_destroy(twlb_mp_handler *mpool) {
  twlb_mp_free_all_slots(mpool);
  int max_chunks = mpool->num_malloced_slot + 1;
  char **chunks = static_cast<char **>(calloc(max_chunks, sizeof(char *)));
  if (!chunks)
    chunk_out_of_memory(max_chunks * static_cast<int>(sizeof(char *)));
  int found = 0;
  for (node *slot = mpool->free_head; slot && found < max_chunks;
       slot = slot->next)
    if (slot->slot_status & 1) chunks[found++] = reinterpret_cast<char *>(slot);
  for (int i = 0; i < found; i++)
    TWLB_FREE(chunks[i], "malloced_slotes[i]", -1);
  memset(static_cast<void *>(mpool), 0, sizeof *mpool);
  free(chunks);
}

char *mpool_errstr(int errno_val) {
  switch (errno_val) {
    case 2: return const_cast<char *>("Error: Memory allocation failure");
    case 3: return const_cast<char *>("Error: Invalid Pointer Passed");
    case 4: return const_cast<char *>("Error: Invalid Memory Alignment");
    default: return const_cast<char *>("Unknown Error Type");
  }
}

}  // extern "C"
