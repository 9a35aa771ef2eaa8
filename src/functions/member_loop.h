#pragma once
// The one parallel loop over the members of a model.
//
// Members are taken in a flat list (member-set order, then member order) and handed to tasks
// on the TBB pool. Every task writes only its own slot, and the slots are read back in member
// order, so sums formed from them are the same on every run and for every thread count.
//
// Failures do not depend on scheduling either: an ordinary failure (an `Expected` holding a
// message) and any exception thrown inside a task (a `FatalFault` or anything else) are kept
// with the member that met them, and after the loop the one of the LOWEST member index is the
// one reported: its message returned, its exception rethrown on the calling thread. Members
// past a known failure are not started, since nothing they give could be reported.
#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <exception>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "expected.h"
#include "functions/geometry.h"
#include "functions/sparse.h"
#include "models/members/member.h"
#include "models/members/memberset.h"

namespace varn {

// Every member of the model: member-set order, then member order. The index of a member in
// this list is its flat member index.
std::vector<const Member*> flatten_members(const std::vector<MemberSet>& member_sets);

namespace member_loop_detail {

template <class T>
struct IsExpected : std::false_type {};
template <class T>
struct IsExpected<Expected<T>> : std::true_type {};

// What a task gives back as a plain value: R for a task returning Expected<R> or R.
template <class T>
struct Unwrap {
  using type = T;
};
template <class T>
struct Unwrap<Expected<T>> {
  using type = T;
};

// The failure met by one chunk of consecutive members: that of its lowest member index, since
// a chunk stops at its first failure.
struct ChunkFailure {
  std::size_t index = 0;
  std::optional<std::string> message;  // an ordinary failure
  std::exception_ptr fault;            // a thrown fault
};

// Runs body(i, chunk) for every i in [0, count), in fixed chunks of `chunk_size` consecutive
// indices (chunk c holds [c·chunk_size, (c+1)·chunk_size)), each chunk in ascending order on one
// thread. body returns Expected<void>. The chunk boundaries do not depend on the thread count.
template <class Body>
Expected<void> run_chunks(std::size_t count, std::size_t chunk_size, Body&& body) {
  chunk_size = std::max<std::size_t>(chunk_size, 1);
  const std::size_t n_chunks = (count + chunk_size - 1) / chunk_size;
  std::vector<std::optional<ChunkFailure>> failures(n_chunks);
  std::atomic<std::size_t> lowest{count};
  const auto note = [&](std::size_t i) {
    std::size_t seen = lowest.load(std::memory_order_relaxed);
    while (i < seen && !lowest.compare_exchange_weak(seen, i, std::memory_order_relaxed)) {
    }
  };
  tbb::parallel_for(tbb::blocked_range<std::size_t>(0, n_chunks), [&](const tbb::blocked_range<std::size_t>& r) {
    for (std::size_t c = r.begin(); c != r.end(); ++c) {
      const std::size_t first = c * chunk_size;
      const std::size_t last = std::min(first + chunk_size, count);
      for (std::size_t i = first; i < last; ++i) {
        if (i > lowest.load(std::memory_order_relaxed)) break;
        try {
          Expected<void> done = body(i, c);
          if (!done) {
            failures[c] = ChunkFailure{i, done.error(), nullptr};
            note(i);
            break;
          }
        } catch (...) {
          failures[c] = ChunkFailure{i, std::nullopt, std::current_exception()};
          note(i);
          break;
        }
      }
    }
  });
  // Chunks hold ascending indices, so the first failing chunk holds the lowest failing member.
  for (auto& f : failures) {
    if (!f) continue;
    if (f->fault) std::rethrow_exception(f->fault);
    return fail(std::move(*f->message));
  }
  return {};
}

}  // namespace member_loop_detail

// Runs body(i) for every i in [0, count) on the TBB pool, one index per task; body returns
// Expected<void>. Indices above the lowest failing one may be left out; that failure is the
// one returned (a message) or rethrown (an exception).
template <class Body>
Expected<void> for_each_index(std::size_t count, Body&& body) {
  return member_loop_detail::run_chunks(count, 1, [&](std::size_t i, std::size_t) -> Expected<void> { return body(i); });
}

// Runs task(member, index) for every member of `members` on the TBB pool and returns the
// results in member order. The task returns Expected<R> (an ordinary failure possible) or a
// plain R; R must be default-constructible and movable. The failure of the lowest member
// index is the one returned (a message) or rethrown (an exception).
template <class Task>
auto for_each_member(const std::vector<const Member*>& members, Task&& task)
    -> Expected<std::vector<typename member_loop_detail::Unwrap<
        std::invoke_result_t<Task&, const Member&, std::size_t>>::type>> {
  using Returned = std::invoke_result_t<Task&, const Member&, std::size_t>;
  using R = typename member_loop_detail::Unwrap<Returned>::type;
  std::vector<R> slots(members.size());
  auto done = member_loop_detail::run_chunks(members.size(), 1, [&](std::size_t i, std::size_t) -> Expected<void> {
    if constexpr (member_loop_detail::IsExpected<Returned>::value) {
      Returned r = task(*members[i], i);
      if (!r) return fail(r.error());
      slots[i] = std::move(*r);
    } else {
      slots[i] = task(*members[i], i);
    }
    return {};
  });
  if (!done) return fail(done.error());
  return slots;
}

// Runs task(member, index, state) for every member, with members taken in fixed chunks of
// `chunk_size` consecutive indices; each chunk starts from a default-constructed State and
// fills it in member order. Returns the states in chunk order, which is member order (the
// chunk boundaries do not depend on the thread count). task returns Expected<void> or void.
// The failure of the lowest member index is the one returned or rethrown. For loops that
// gather many small contributions (matrix triplets), where one container per member would
// bring the allocator into the loop.
template <class State, class Task>
Expected<std::vector<State>> for_each_member_chunked(const std::vector<const Member*>& members,
                                                     std::size_t chunk_size, Task&& task) {
  chunk_size = std::max<std::size_t>(chunk_size, 1);
  std::vector<State> states((members.size() + chunk_size - 1) / chunk_size);
  auto done = member_loop_detail::run_chunks(members.size(), chunk_size,
                                             [&](std::size_t i, std::size_t c) -> Expected<void> {
    using Returned = std::invoke_result_t<Task&, const Member&, std::size_t, State&>;
    if constexpr (std::is_void_v<Returned>) {
      task(*members[i], i, states[c]);
      return {};
    } else {
      return task(*members[i], i, states[c]);
    }
  });
  if (!done) return fail(done.error());
  return states;
}

// Members per chunk of the matrix assembly: enough to keep the allocator out of the loop,
// few enough to balance the load of a model with a few thousand members over the pool.
inline constexpr std::size_t kMembersPerAssemblyChunk = 64;

// The n x n sum of the members' 14x14 global matrices: task(member, index) returns
// Expected<std::optional<Mat14>> (or the optional alone), none for a member that contributes
// nothing. Each matrix is scattered to the DOFs of its end nodes (start block at 7·(start id
// − 1), end block at 7·(end id − 1)), the triplets kept in member order, so every entry of
// the compressed matrix is summed in the same order on every run and for every thread count.
// The failure of the lowest member index is the one returned or rethrown.
template <class Task>
Expected<SparseMatrix> assemble_member_matrices(const std::vector<const Member*>& members, std::size_t n,
                                                Task&& task) {
  struct Block {
    std::optional<SparseAssembler> triplets;  // made at the chunk's first contributing member
  };
  auto blocks = for_each_member_chunked<Block>(
      members, kMembersPerAssemblyChunk, [&](const Member& m, std::size_t i, Block& block) -> Expected<void> {
        auto k = task(m, i);
        const std::optional<Mat14>* matrix = nullptr;
        if constexpr (member_loop_detail::IsExpected<decltype(k)>::value) {
          if (!k) return fail(k.error());
          matrix = &*k;
        } else {
          matrix = &k;
        }
        if (!matrix->has_value()) return {};
        if (!block.triplets) {
          const std::size_t first = i - i % kMembersPerAssemblyChunk;
          block.triplets =
              SparseAssembler::with_capacity(n, std::min(kMembersPerAssemblyChunk, members.size() - first));
        }
        block.triplets->assemble_element(dof_index(m.start_node.id, 0), dof_index(m.end_node.id, 0), **matrix);
        return {};
      });
  if (!blocks) return fail(blocks.error());
  // Room for 196 triplets per member, as every assembly of the system reserves, or for the
  // present entries where they are more.
  std::vector<const SparseAssembler*> parts;
  parts.reserve(blocks->size());
  for (const Block& b : *blocks) parts.push_back(b.triplets ? &*b.triplets : nullptr);
  const SparseAssembler assembler = SparseAssembler::concatenate(n, parts, members.size());
  blocks->clear();
  return assembler.to_csc();
}

}  // namespace varn
