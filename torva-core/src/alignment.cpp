// Banded local dynamic programming over a score matrix.
//
// The fill runs column by column in 32-bit fixed point. Only two columns of
// cell records are alive at a time; each record carries the start of its path
// and the best cell met on it, so candidate local alignments (fragments) are
// collected while filling and no second pass over the matrix is needed. The
// traceback table is one byte per cell.
#include "torva/alignment.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <utility>

#include "torva/error.hpp"

namespace torva {

namespace {

// Saturating float-to-integer conversion toward zero; NaN gives 0.
std::int32_t truncate_fixed(double value) {
    if (std::isnan(value)) return 0;
    const double r = std::trunc(value);
    if (r >= 2147483647.0) return std::numeric_limits<std::int32_t>::max();
    if (r <= -2147483648.0) return std::numeric_limits<std::int32_t>::min();
    return static_cast<std::int32_t>(r);
}

// The saturating round-half-away-from-zero conversion of to_fixed, inlined
// for the cell loop. Adding the largest double below one half, with the sign
// of the value, and truncating rounds halves away from zero and everything
// else to nearest, without a library call.
inline std::int32_t round_fixed(double value) {
    if (value >= 2147483646.5) return std::numeric_limits<std::int32_t>::max();
    if (value <= -2147483647.5) return std::numeric_limits<std::int32_t>::min();
    if (value != value) return 0;  // NaN
    return static_cast<std::int32_t>(value + std::copysign(0.49999999999999994, value));
}

// Two's-complement 32-bit arithmetic: scores saturated at the limits wrap
// instead of invoking undefined behaviour.
inline std::int32_t wrap_add(std::int32_t a, std::int32_t b) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) + static_cast<std::uint32_t>(b));
}

struct Cell {
    std::uint32_t start_i;
    std::uint32_t start_j;
    std::uint32_t best_i;
    std::uint32_t best_j;
    std::int32_t score;
    std::int32_t best;
};

// Continues the path of predecessor `p` into `c` at (i, j) with score h: the
// start is inherited, and the best moves to (i, j) when h beats the
// predecessor's best (or equals it, when `ties_move`).
inline void continue_path(Cell& c, const Cell& p, std::int32_t h, std::uint32_t i, std::uint32_t j, bool ties_move) {
    c.start_i = p.start_i;
    c.start_j = p.start_j;
    if (ties_move ? h >= p.best : h > p.best) {
        c.best = h;
        c.best_i = i;
        c.best_j = j;
    } else {
        c.best = p.best;
        c.best_i = p.best_i;
        c.best_j = p.best_j;
    }
}

struct Fragment {
    std::uint32_t start_i;
    std::uint32_t start_j;
    std::uint32_t end_i;
    std::uint32_t end_j;
    std::int32_t best;
    std::int32_t next;  // next fragment of the same start row, -1 at the end
};

constexpr std::uint8_t kDiag = 1;
constexpr std::uint8_t kLeft = 2;  // from (i, j-1): a step in the second domain only
constexpr std::uint8_t kUp = 4;    // from (i-1, j): a step in the first domain only

// Per-start-row fragment lists, kept as linked lists in one vector so that the
// concatenation order (row order, then order of appending) is cheap to walk.
class FragmentTable {
public:
    FragmentTable(std::size_t rows, std::int32_t threshold) : head_(rows, -1), tail_(rows, -1), threshold_(threshold) {
        // Room for one fragment per start row before the fill has to grow it.
        frags_.reserve(rows);
    }

    void offer(const Cell& c) {
        if (c.best < threshold_ || c.start_i == c.best_i || c.start_j == c.best_j) return;
        for (std::int32_t k = head_[c.start_i]; k >= 0; k = frags_[static_cast<std::size_t>(k)].next) {
            Fragment& f = frags_[static_cast<std::size_t>(k)];
            if (f.start_j == c.start_j) {
                if (f.best < c.best) {
                    f.start_i = c.start_i;
                    f.end_i = c.best_i;
                    f.end_j = c.best_j;
                    f.best = c.best;
                }
                return;
            }
        }
        const auto idx = static_cast<std::int32_t>(frags_.size());
        frags_.push_back({c.start_i, c.start_j, c.best_i, c.best_j, c.best, -1});
        if (tail_[c.start_i] >= 0) {
            frags_[static_cast<std::size_t>(tail_[c.start_i])].next = idx;
        } else {
            head_[c.start_i] = idx;
        }
        tail_[c.start_i] = idx;
    }

    // First fragment of the stable best-first order: the highest best, ties
    // going to the earliest in row-then-append order.
    const Fragment* best() const {
        const Fragment* out = nullptr;
        for (std::int32_t h : head_) {
            for (std::int32_t k = h; k >= 0; k = frags_[static_cast<std::size_t>(k)].next) {
                const Fragment& f = frags_[static_cast<std::size_t>(k)];
                if (out == nullptr || f.best > out->best) out = &f;
            }
        }
        return out;
    }

private:
    std::vector<Fragment> frags_;
    std::vector<std::int32_t> head_;
    std::vector<std::int32_t> tail_;
    std::int32_t threshold_;
};

// The record of cell (i, j) with score h > 0: a diagonal step from a zero
// cell starts a path there; any other step continues its predecessor's.
inline void record_step(Cell& c, const Cell& diag_cell, const Cell& left_cell, const Cell& up_cell, std::int32_t h,
                        std::int32_t diag, std::int32_t left, std::uint32_t i, std::uint32_t j) {
    if (h == diag) {
        if (diag_cell.score == 0) {
            c.start_i = i;
            c.start_j = j;
            c.best_i = i;
            c.best_j = j;
            c.best = h;
        } else {
            continue_path(c, diag_cell, h, i, j, true);
        }
    } else {
        // A gap step: from (i, j-1) keeps ties at the new cell,
        // from (i-1, j) only a strict improvement moves the best.
        const bool from_left = h == left;
        const Cell p = from_left ? left_cell : up_cell;
        continue_path(c, p, h, i, j, from_left);
    }
}

// The local-alignment table over the band, filled column by column: the
// traceback codes (one row of n1 + 2 bytes per column), the fragments the
// paths make, and the best cell score.
struct FilledTable {
    std::vector<std::uint8_t> codes;
    std::int32_t best_score = -1;
};

FilledTable fill_table(const ScoreMatrix& matrix, std::size_t n1, std::size_t n2, const PairwiseSettings& settings,
                       FragmentTable& fragments) {
    const double scale_d = static_cast<double>(settings.score_scale);
    const std::int32_t gap = truncate_fixed(settings.gap_open * scale_d);
    const double* values = matrix.values.data();
    const std::size_t rows = n1 + 2;  // padded sizes
    const std::size_t cols = n2 + 2;

    // The band on the padded table (see Band for why its padding is 2).
    const Band band(settings.band_width, settings.widen_band, n1, n2, 2);
    const double v = settings.banded ? band.half_width() : std::numeric_limits<double>::infinity();
    const double* row_frac = band.row_fractions();
    const double* col_frac = band.col_fractions();
    const bool banded = settings.banded;
    auto in_band = [&](std::size_t i, std::size_t j) { return !banded || std::fabs(row_frac[i] - col_frac[j]) <= v; };

    // Two columns of cell records. Before the first column every record starts
    // at its own row in column 1.
    std::vector<Cell> prev(rows);
    std::vector<Cell> cur(rows);
    for (std::size_t i = 0; i < rows; ++i) {
        const auto r = static_cast<std::uint32_t>(i);
        prev[i] = {r, 1, r, 1, 0, 0};
        cur[i] = prev[i];
    }
    FilledTable out;
    out.codes.assign(cols * rows, 0);

    // Each record array holds non-zero scores only on the rows computed in its
    // column: [prev_lo, prev_hi) for `prev`, [cur_lo, cur_hi) for `cur` (two
    // columns back until it is refilled). Every other row reads as H = 0:
    // outside the band, row 0 and column 0 alike.
    std::size_t prev_lo = 0;
    std::size_t prev_hi = 0;
    std::size_t cur_lo = 0;
    std::size_t cur_hi = 0;

    for (std::size_t j = 1; j <= n2; ++j) {
        std::size_t lo = prev_lo < prev_hi ? prev_lo : 1;
        while (lo <= n1 && !in_band(lo, j)) ++lo;
        std::size_t hi = lo;
        while (hi <= n1 && in_band(hi, j)) ++hi;
        // Clear what this array still holds from two columns back.
        for (std::size_t r = cur_lo; r < cur_hi; ++r) {
            if (r < lo || r >= hi) cur[r].score = 0;
        }
        std::uint8_t* code_col = out.codes.data() + j * rows;
        const auto jj = static_cast<std::uint32_t>(j);
        const double* qcol = values + (j - 1);
        for (std::size_t i = lo; i < hi; ++i) {
            const std::int32_t h_diag = prev[i - 1].score;
            const std::int32_t q = round_fixed(qcol[(i - 1) * n2] * scale_d);
            const std::int32_t diag = wrap_add(h_diag, q);
            const std::int32_t left = wrap_sub(prev[i].score, gap);
            const std::int32_t up = wrap_sub(cur[i - 1].score, gap);
            const std::int32_t m = std::max(std::max(diag, left), up);
            const std::int32_t h = m > 0 ? m : 0;
            code_col[i] = static_cast<std::uint8_t>((h == diag ? kDiag : 0) | (h == left ? kLeft : 0) |
                                                    (h == up ? kUp : 0));
            out.best_score = std::max(out.best_score, h);

            Cell& c = cur[i];
            if (h > 0) {
                record_step(c, prev[i - 1], prev[i], cur[i - 1], h, diag, left, static_cast<std::uint32_t>(i), jj);
                c.score = h;
                if (j == n2 || i == n1) fragments.offer(c);
            } else {
                // The path through the diagonal predecessor ends here.
                if (j != n2 && i != n1 && h_diag > 0) fragments.offer(prev[i - 1]);
                c.score = 0;
                c.best = 0;
            }
        }
        cur_lo = prev_lo;
        cur_hi = prev_hi;
        prev_lo = lo < hi ? lo : 0;
        prev_hi = lo < hi ? hi : 0;
        std::swap(prev, cur);
    }
    return out;
}

// The path of a fragment through the traceback codes, first pair first:
// diagonal first, then the step from (i, j-1), then from (i-1, j); the gap
// steps taken in either chain are counted.
std::vector<AlignedPair> trace_path(const std::vector<std::uint8_t>& codes, std::size_t rows, const Fragment& top,
                                    std::size_t& second_only, std::size_t& first_only) {
    std::vector<AlignedPair> path;
    std::size_t i = top.end_i;
    std::size_t j = top.end_j;
    while (i >= top.start_i && j >= top.start_j && !(i == 0 && j == 0)) {
        const std::uint8_t c = codes[j * rows + i];
        if (c & kDiag) {
            path.push_back({static_cast<std::uint32_t>(i), static_cast<std::uint32_t>(j)});
            if (i == 0 || j == 0) break;
            --i;
            --j;
        } else if (c & kLeft) {
            ++second_only;
            if (j == 0) break;
            --j;
        } else if (c & kUp) {
            ++first_only;
            if (i == 0) break;
            --i;
        } else {
            break;
        }
    }
    std::reverse(path.begin(), path.end());
    return path;
}

}  // namespace

TracedAlignment trace_alignment(const ScoreMatrix& matrix, std::size_t n1, std::size_t n2,
                                const PairwiseSettings& settings) {
    TracedAlignment out;
    if (n1 == 0 || n2 == 0) return out;
    if (matrix.values.size() < n1 * n2 || matrix.cols != n2) {
        throw InternalError("trace_alignment: score matrix does not match the domain lengths");
    }
    if (n1 + 2 > std::numeric_limits<std::int32_t>::max() || n2 + 2 > std::numeric_limits<std::int32_t>::max()) {
        throw InternalError("trace_alignment: domain too long");
    }

    const double scale_d = static_cast<double>(settings.score_scale);
    const std::int32_t threshold =
        truncate_fixed(static_cast<double>(settings.min_length) * scale_d * settings.cutoff_dist);
    const std::int32_t pair_threshold = truncate_fixed(0.3 * scale_d);

    FragmentTable fragments(n1 + 2, threshold);
    const FilledTable table = fill_table(matrix, n1, n2, settings, fragments);
    out.best_score = table.best_score;

    const Fragment* top = fragments.best();
    if (top == nullptr) return out;
    std::size_t second_only = 0;
    std::size_t first_only = 0;
    const std::vector<AlignedPair> path = trace_path(table.codes, n1 + 2, *top, second_only, first_only);
    if (path.empty()) return out;

    out.found = true;
    out.second_only_steps = second_only;
    out.first_only_steps = first_only;
    out.path_length = path.size() + second_only + first_only;
    out.residue_scores.assign(std::max({out.path_length, n1, n2}), -1.0);
    for (const AlignedPair& p : path) {
        if (p.i < 1 || p.i > n1 || p.j < 1 || p.j > n2) continue;
        // The cell's fixed-point score, as the fill converted it.
        const std::int32_t q = round_fixed(matrix.values[(p.i - 1) * n2 + (p.j - 1)] * scale_d);
        out.residue_scores[p.i - 1] = static_cast<double>(q) / scale_d;
        if (q >= pair_threshold) out.pairs.push_back({p.i - 1, p.j - 1});
    }
    return out;
}

}  // namespace torva
