#pragma once
// The one sparse container of the system and the triplet collector that element matrices are
// scattered into.
//
// `varn::SparseMatrix` is an Eigen compressed-column matrix with 64-bit signed indices
// (std::int64_t, the index type of the "long" CHOLMOD/UMFPACK interfaces, so no index copy is
// made before a factorisation), with sorted, unique row indices in every column.
#include <Eigen/Core>
#include <Eigen/SparseCore>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace varn {

using SparseMatrix = Eigen::SparseMatrix<double, Eigen::ColMajor, std::int64_t>;

// Eigen's SparseMatrix has no move constructor or move assignment: a struct that holds one is
// copied, matrix and all, wherever it is moved (into an Expected, into a shared_ptr, out of a
// function). The large matrices kept across a request (a switch basis of tens of megabytes,
// the shared operators) are held in this instead: the same matrix, moved by swapping its
// storage.
class MovableSparseMatrix : public SparseMatrix {
 public:
  MovableSparseMatrix() = default;
  MovableSparseMatrix(const SparseMatrix& m) : SparseMatrix(m) {}
  MovableSparseMatrix(SparseMatrix&& m) noexcept { swap(m); }
  MovableSparseMatrix(const MovableSparseMatrix& m) = default;
  MovableSparseMatrix(MovableSparseMatrix&& m) noexcept { swap(m); }
  MovableSparseMatrix& operator=(const SparseMatrix& m) {
    SparseMatrix::operator=(m);
    return *this;
  }
  MovableSparseMatrix& operator=(SparseMatrix&& m) noexcept {
    swap(m);
    return *this;
  }
  MovableSparseMatrix& operator=(const MovableSparseMatrix& m) {
    SparseMatrix::operator=(m);
    return *this;
  }
  MovableSparseMatrix& operator=(MovableSparseMatrix&& m) noexcept {
    swap(m);
    return *this;
  }
  ~MovableSparseMatrix() = default;
};

// ---------------------------------------------------------------------------------------------
// Triplet collector.

struct SparseTriplet {
  std::size_t row_index;
  std::size_t col_index;
  double val;
  // The accessor names Eigen's triplet construction expects.
  std::int64_t row() const { return static_cast<std::int64_t>(row_index); }
  std::int64_t col() const { return static_cast<std::int64_t>(col_index); }
  double value() const { return val; }
};

class SparseAssembler {
 public:
  static constexpr std::size_t kTripletsPerMember = 196;  // 14 x 14 element entries

  explicit SparseAssembler(std::size_t n) : n_(n) {}
  // Room for 196 triplets per member, so that the scatter loop never reallocates.
  static SparseAssembler with_capacity(std::size_t n, std::size_t number_of_members);

  // Appends (row, col, value) unless value == 0.0 exactly (-0.0 is skipped, NaN is kept so
  // that a broken element shows up in the solve instead of vanishing).
  void add(std::size_t row, std::size_t col, double value) {
    if (value != 0.0) triplets_.push_back(SparseTriplet{row, col, value});
  }

  // Scatters a 14x14 global element matrix: the start-start, start-end, end-start and end-end
  // 7x7 blocks to the DOFs beginning at s = 7*(start id - 1) and e = 7*(end id - 1). A member
  // whose two ends are the same node simply sums its blocks. An element matrix smaller than
  // 14x14 is a fatal index fault.
  void assemble_element(std::size_t s, std::size_t e, const Eigen::Ref<const Eigen::MatrixXd>& k);

  // The triplets of `blocks` (null ones skipped) one after the other in their order, copied
  // side by side on the pool, with room for at least `members` members. Blocks of members
  // assembled in parallel and joined in member order keep the summation order of a serial
  // scatter, whatever the scheduling.
  static SparseAssembler concatenate(std::size_t n, const std::vector<const SparseAssembler*>& blocks,
                                     std::size_t members);

  // n x n compressed-column matrix, duplicate triplets summed (entries that sum to zero stay
  // stored, which keeps the pattern). A triplet outside the matrix or an allocation failure
  // is the fatal fault "SparseAssembler: failed to build CSC matrix from triplets: ...".
  SparseMatrix to_csc() const;

  std::size_t n() const { return n_; }
  const std::vector<SparseTriplet>& triplets() const { return triplets_; }
  std::size_t capacity() const { return triplets_.capacity(); }

 private:
  std::size_t n_;
  std::vector<SparseTriplet> triplets_;
};

}  // namespace varn
