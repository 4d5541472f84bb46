// TM-score: the superposition search and the score of a given alignment.
#include "torva/tmscore.hpp"

#include <Eigen/Dense>
#include <Eigen/Eigenvalues>
#include <Eigen/SVD>
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <string>

#include "tm_kernel.hpp"

namespace torva {

double tm_d0(std::size_t length) {
    if (length <= 21) return 0.5;
    const double d0 = 1.24 * std::cbrt(static_cast<double>(length) - 15.0) - 1.8;
    return d0 < 0.5 ? 0.5 : d0;
}

namespace tm {

namespace {

// The rotation by quaternions (Horn 1987): the best proper rotation of the
// mobile points onto the fixed ones is the unit quaternion of the largest
// eigenvalue of a symmetric 4x4 matrix built from h. That eigenvalue is the
// largest root of the matrix's characteristic polynomial, found by Newton's
// method from above (Theobald 2005), and the quaternion is a column of the
// adjugate of the matrix less that eigenvalue. False when every column is
// nearly zero (the eigenvalue nearly repeated, as for collinear points); the
// caller then takes another way.
bool quaternion_rotation(const Eigen::Matrix3d& h, Eigen::Matrix3d& r) {
    const double sxx = h(0, 0), sxy = h(0, 1), sxz = h(0, 2), syx = h(1, 0), syy = h(1, 1), syz = h(1, 2),
                 szx = h(2, 0), szy = h(2, 1), szz = h(2, 2);
    double k[4][4] = {{sxx + syy + szz, syz - szy, szx - sxz, sxy - syx},
                      {syz - szy, sxx - syy - szz, sxy + syx, szx + sxz},
                      {szx - sxz, sxy + syx, -sxx + syy - szz, syz + szy},
                      {sxy - syx, szx + sxz, syz + szy, -sxx - syy + szz}};
    const double norm2 = sxx * sxx + sxy * sxy + sxz * sxz + syx * syx + syy * syy + syz * syz + szx * szx +
                         szy * szy + szz * szz;
    if (!(norm2 > 0.0) || !std::isfinite(norm2)) return false;
    // det(K - l I) = l^4 + c2 l^2 + c1 l + c0 (K has trace zero).
    const double c2 = -2.0 * norm2;
    const double c1 = -8.0 * (sxx * (syy * szz - syz * szy) - sxy * (syx * szz - syz * szx) +
                              sxz * (syx * szy - syy * szx));
    auto det3 = [](double a, double b, double c, double d, double e, double f, double g, double hh, double i) {
        return a * (e * i - f * hh) - b * (d * i - f * g) + c * (d * hh - e * g);
    };
    const double c0 = k[0][0] * det3(k[1][1], k[1][2], k[1][3], k[2][1], k[2][2], k[2][3], k[3][1], k[3][2], k[3][3]) -
                      k[0][1] * det3(k[1][0], k[1][2], k[1][3], k[2][0], k[2][2], k[2][3], k[3][0], k[3][2], k[3][3]) +
                      k[0][2] * det3(k[1][0], k[1][1], k[1][3], k[2][0], k[2][1], k[2][3], k[3][0], k[3][1], k[3][3]) -
                      k[0][3] * det3(k[1][0], k[1][1], k[1][2], k[2][0], k[2][1], k[2][2], k[3][0], k[3][1], k[3][2]);
    // The largest eigenvalue is at most the sum of the singular values of h,
    // itself at most sqrt(3) times its Frobenius norm; above the largest root
    // the polynomial rises and is convex, so Newton's steps fall onto it.
    double l = std::sqrt(3.0 * norm2);
    for (int it = 0; it < 60; ++it) {
        const double l2 = l * l;
        const double p = (l2 + c2) * l2 + c1 * l + c0;
        const double dp = 4.0 * l2 * l + 2.0 * c2 * l + c1;
        if (!(dp > 0.0)) break;
        const double next = l - p / dp;
        if (!(next < l)) break;
        const bool done = l - next <= 1e-13 * l;
        l = next;
        if (done) break;
    }
    for (int a = 0; a < 4; ++a) k[a][a] -= l;
    // Columns of the adjugate of K - l I: each is a multiple of the
    // eigenvector. The first that is clearly apart from zero will do (the
    // adjugate scales with the cube of the entries), else the largest.
    const double scale = l * l * l * l * l * l;
    double best[4] = {0, 0, 0, 0};
    double best_norm = 0.0;
    for (int c = 0; c < 4 && !(best_norm > 1e-6 * scale); ++c) {
        double col[4];
        for (int rr = 0; rr < 4; ++rr) {
            // Cofactor (c, rr): the minor without row c and column rr.
            double m[9];
            int q = 0;
            for (int a = 0; a < 4; ++a) {
                if (a == c) continue;
                for (int b = 0; b < 4; ++b)
                    if (b != rr) m[q++] = k[a][b];
            }
            const double minor = det3(m[0], m[1], m[2], m[3], m[4], m[5], m[6], m[7], m[8]);
            col[rr] = ((c + rr) & 1) ? -minor : minor;
        }
        const double nc = col[0] * col[0] + col[1] * col[1] + col[2] * col[2] + col[3] * col[3];
        if (nc > best_norm) {
            best_norm = nc;
            for (int a = 0; a < 4; ++a) best[a] = col[a];
        }
    }
    if (!(best_norm > 1e-14 * scale) || !std::isfinite(best_norm)) return false;
    const double inv = 1.0 / std::sqrt(best_norm);
    const double q0 = best[0] * inv, q1 = best[1] * inv, q2 = best[2] * inv, q3 = best[3] * inv;
    r(0, 0) = q0 * q0 + q1 * q1 - q2 * q2 - q3 * q3;
    r(0, 1) = 2.0 * (q1 * q2 - q0 * q3);
    r(0, 2) = 2.0 * (q1 * q3 + q0 * q2);
    r(1, 0) = 2.0 * (q1 * q2 + q0 * q3);
    r(1, 1) = q0 * q0 - q1 * q1 + q2 * q2 - q3 * q3;
    r(1, 2) = 2.0 * (q2 * q3 - q0 * q1);
    r(2, 0) = 2.0 * (q1 * q3 - q0 * q2);
    r(2, 1) = 2.0 * (q2 * q3 + q0 * q1);
    r(2, 2) = q0 * q0 - q1 * q1 - q2 * q2 + q3 * q3;
    return r.allFinite();
}

// The rotation V U^T of h = U S V^T from the eigenvectors of h^T h (closed
// form for 3x3): v1, v2 of the two largest eigenvalues, u_k = h v_k / s_k, and
// the third columns as cross products, which makes the rotation proper and
// flips the weakest direction when a reflection would fit better. False when
// the two largest singular values are not clearly apart from zero (collinear
// or coincident points); the caller then takes the full decomposition.
bool fast_rotation(const Eigen::Matrix3d& h, Eigen::Matrix3d& r) {
    Eigen::SelfAdjointEigenSolver<Eigen::Matrix3d> eig;
    eig.computeDirect(h.transpose() * h);
    const Eigen::Vector3d lambda = eig.eigenvalues();  // ascending
    if (!(lambda(2) > 0.0) || !(lambda(1) > 1e-8 * lambda(2))) return false;
    const Eigen::Matrix3d ev = eig.eigenvectors();
    const Eigen::Vector3d v1 = ev.col(2).normalized();
    Eigen::Vector3d v2 = ev.col(1);
    v2 = (v2 - v2.dot(v1) * v1).normalized();
    const Eigen::Vector3d v3 = v1.cross(v2);
    const Eigen::Vector3d u1 = (h * v1).normalized();
    Eigen::Vector3d u2 = h * v2;
    u2 = (u2 - u2.dot(u1) * u1).normalized();
    const Eigen::Vector3d u3 = u1.cross(u2);
    r = v1 * u1.transpose() + v2 * u2.transpose() + v3 * u3.transpose();
    return r.allFinite();
}

// The proper rotation and translation from the sums of one fit.
Transform from_sums(const Point& sx, const Point& sy, const Eigen::Matrix3d& sxy_raw, std::size_t n) {
    Transform t;
    if (n == 0) return t;
    const double inv = 1.0 / static_cast<double>(n);
    const Point cx{sx[0] * inv, sx[1] * inv, sx[2] * inv};
    const Point cy{sy[0] * inv, sy[1] * inv, sy[2] * inv};
    // Cross-covariance with the mobile (y) coordinates on the rows.
    Eigen::Matrix3d h;
    for (int a = 0; a < 3; ++a)
        for (int b = 0; b < 3; ++b) h(a, b) = sxy_raw(a, b) - static_cast<double>(n) * cy[a] * cx[b];
    if (!h.allFinite()) return t;
    Eigen::Matrix3d r;
    if (n == 1) {
        r.setIdentity();
    } else if (quaternion_rotation(h, r) || fast_rotation(h, r)) {
        // done
    } else {
        Eigen::JacobiSVD<Eigen::Matrix3d> svd(h, Eigen::ComputeFullU | Eigen::ComputeFullV);
        const Eigen::Matrix3d u = svd.matrixU();
        const Eigen::Matrix3d v = svd.matrixV();
        r = v * u.transpose();
        if (r.determinant() < 0.0) {
            Eigen::Matrix3d flip = Eigen::Matrix3d::Identity();
            flip(2, 2) = -1.0;
            r = v * flip * u.transpose();
        }
    }
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) t.rotation[i][j] = r(i, j);
    for (int i = 0; i < 3; ++i) t.translation[i] = cx[i] - (r(i, 0) * cy[0] + r(i, 1) * cy[1] + r(i, 2) * cy[2]);
    return t;
}

inline void accumulate(const Point& px, const Point& py, Point& sx, Point& sy, Eigen::Matrix3d& sxy) {
    for (int a = 0; a < 3; ++a) {
        sx[a] += px[a];
        sy[a] += py[a];
        for (int b = 0; b < 3; ++b) sxy(a, b) += py[a] * px[b];
    }
}

}  // namespace

Transform fit(std::span<const Point> x, std::span<const Point> y, std::span<const std::uint32_t> idx) {
    Point sx{0, 0, 0}, sy{0, 0, 0};
    Eigen::Matrix3d sxy = Eigen::Matrix3d::Zero();
    for (const std::uint32_t k : idx) accumulate(x[k], y[k], sx, sy, sxy);
    return from_sums(sx, sy, sxy, idx.size());
}

Transform fit_range(std::span<const Point> x, std::span<const Point> y, std::size_t first, std::size_t count) {
    Point sx{0, 0, 0}, sy{0, 0, 0};
    Eigen::Matrix3d sxy = Eigen::Matrix3d::Zero();
    for (std::size_t k = first; k < first + count; ++k) accumulate(x[k], y[k], sx, sy, sxy);
    return from_sums(sx, sy, sxy, count);
}

double score_sum(std::span<const Point> x, std::span<const Point> y, const Transform& t, double d0,
                 double score_cutoff) {
    const double inv_d02 = 1.0 / (d0 * d0);
    const double cut2 = score_cutoff * score_cutoff;
    double sum = 0.0;
    for (std::size_t k = 0; k < x.size(); ++k) {
        const double d2 = squared_distance(x[k], t.apply(y[k]));
        if (d2 <= cut2) sum += 1.0 / (1.0 + d2 * inv_d02);
    }
    return sum;
}

double widened_cutoff2(std::span<const double> d2, double cut, std::vector<double>& work) {
    constexpr double kInf = std::numeric_limits<double>::infinity();
    const std::size_t need = std::min<std::size_t>(3, d2.size());
    double c2 = cut * cut;
    std::size_t below = 0;
    for (const double v : d2) below += v < c2 ? 1 : 0;
    if (below >= need) return c2;
    // The need-th smallest distance (NaN counted as infinite) is the one the cutoff must pass.
    work.resize(d2.size());
    for (std::size_t k = 0; k < d2.size(); ++k) work[k] = std::isnan(d2[k]) ? kInf : d2[k];
    std::nth_element(work.begin(), work.begin() + static_cast<std::ptrdiff_t>(need - 1), work.end());
    const double wanted = work[need - 1];
    if (!(wanted < kInf)) return kInf;
    for (int step = 0; step < kSteppedWidenings; ++step) {
        cut += 0.5;
        c2 = cut * cut;
        if (wanted < c2) return c2;
    }
    cut = std::sqrt(wanted);
    while (!(wanted < cut * cut)) cut = std::nextafter(cut, kInf);
    return cut * cut;
}

SearchResult search(std::span<const Point> x, std::span<const Point> y, const SearchSettings& s, Scratch& scratch) {
    const std::size_t n = x.size();
    SearchResult best;
    if (n == 0) return best;
    best.score = -1.0;

    const double inv_d02 = 1.0 / (s.d0 * s.d0);
    const double cut2 = s.score_cutoff * s.score_cutoff;
    scratch.d2.resize(n);
    const std::size_t min_fragment = std::min(n, std::max<std::size_t>(1, s.min_fragment));
    const std::size_t max_starts = std::max<std::size_t>(1, s.max_starts);
    // The points by axis, so that the distances below take whole vectors.
    scratch.xs.resize(3 * n);
    scratch.ys.resize(3 * n);
    for (std::size_t k = 0; k < n; ++k)
        for (std::size_t a = 0; a < 3; ++a) {
            scratch.xs[a * n + k] = x[k][a];
            scratch.ys[a * n + k] = y[k][a];
        }

    // Distances under t into scratch.d2; returns the score sum.
    auto evaluate = [&](const Transform& t) {
        const auto& r = t.rotation;
        const double r00 = r[0][0], r01 = r[0][1], r02 = r[0][2], r10 = r[1][0], r11 = r[1][1], r12 = r[1][2],
                     r20 = r[2][0], r21 = r[2][1], r22 = r[2][2];
        const double t0 = t.translation[0], t1 = t.translation[1], t2 = t.translation[2];
        double* __restrict d2s = scratch.d2.data();
        const double* __restrict x0 = scratch.xs.data();
        const double* __restrict x1 = x0 + n;
        const double* __restrict x2 = x1 + n;
        const double* __restrict y0 = scratch.ys.data();
        const double* __restrict y1 = y0 + n;
        const double* __restrict y2 = y1 + n;
        for (std::size_t k = 0; k < n; ++k) {
            const double dx = r00 * y0[k] + r01 * y1[k] + r02 * y2[k] + t0 - x0[k];
            const double dy = r10 * y0[k] + r11 * y1[k] + r12 * y2[k] + t1 - x1[k];
            const double dz = r20 * y0[k] + r21 * y1[k] + r22 * y2[k] + t2 - x2[k];
            d2s[k] = dx * dx + dy * dy + dz * dz;
        }
        double sum = 0.0;
        for (std::size_t k = 0; k < n; ++k) {
            const double d2 = d2s[k];
            sum += d2 <= cut2 ? 1.0 / (1.0 + d2 * inv_d02) : 0.0;
        }
        return sum;
    };

    // Refits from t on the pairs within the search cutoff until that set
    // repeats; `previous` holds the set t was fitted on.
    auto iterate = [&](Transform t) {
        for (int it = 0;; ++it) {
            const double sum = evaluate(t);
            if (sum > best.score) {
                best.score = sum;
                best.transform = t;
            }
            if (it >= s.max_iterations) break;
            // The pairs within the search cutoff, widened until three qualify (or all do).
            scratch.selected.resize(n);
            const auto select = [&](double c2) {
                const double* __restrict d2s = scratch.d2.data();
                std::uint32_t* __restrict chosen = scratch.selected.data();
                std::size_t kept = 0;
                for (std::size_t k = 0; k < n; ++k) {  // without a branch: every k is written, the kept ones stay
                    chosen[kept] = static_cast<std::uint32_t>(k);
                    kept += d2s[k] < c2 ? 1 : 0;
                }
                return kept;
            };
            std::size_t count = select(s.d0_search * s.d0_search);
            if (count < std::min<std::size_t>(3, n)) count = select(widened_cutoff2(scratch.d2, s.d0_search, scratch.ranked));
            if (count == 0) break;  // no distance is finite: nothing to fit on
            scratch.selected.resize(count);
            if (scratch.selected == scratch.previous) break;
            // A set met before in this search leads where it led then. The set is told by a sum of
            // its members' mixed indices: the terms do not wait on each other.
            std::uint64_t h = 0x9e3779b97f4a7c15ull * (scratch.selected.size() + 1);
            for (const std::uint32_t k : scratch.selected) {
                std::uint64_t z = (static_cast<std::uint64_t>(k) + 0x632be59bd9b4e019ull) * 0xbf58476d1ce4e5b9ull;
                h += z ^ (z >> 29);
            }
            if (std::find(scratch.seen.begin(), scratch.seen.end(), h) != scratch.seen.end()) break;
            scratch.seen.push_back(h);
            t = fit(x, y, scratch.selected);
            std::swap(scratch.selected, scratch.previous);
        }
    };

    scratch.seen.clear();
    if (s.initial != nullptr) {
        scratch.previous.clear();
        iterate(*s.initial);
    }
    std::size_t length = n;
    while (true) {
        const std::size_t span_starts = n - length + 1;
        const std::size_t stride = std::max<std::size_t>(1, (span_starts + max_starts - 1) / max_starts);
        std::size_t start = 0;
        while (true) {
            if (s.cancel != nullptr && s.cancel->requested()) break;
            scratch.previous.clear();
            for (std::size_t k = start; k < start + length; ++k) scratch.previous.push_back(static_cast<std::uint32_t>(k));
            iterate(fit_range(x, y, start, length));
            if (start + length >= n) break;
            start = std::min(start + stride, n - length);
        }
        if (length <= min_fragment || (s.cancel != nullptr && s.cancel->requested())) break;
        length = std::max(min_fragment, length / 2);
    }
    best.score /= s.norm_length;
    return best;
}

}  // namespace tm

namespace {
// Fragment starts per fragment length for a reported score: every start up
// to this many, evenly spaced beyond.
constexpr std::size_t kReportStarts = 256;
}  // namespace

Result<TmScore> tm_score(std::span<const Point> fixed, std::span<const Point> mobile,
                         std::span<const AlignedPair> pairs, const Cancel& cancel) {
    std::vector<bool> used_fixed(fixed.size()), used_mobile(mobile.size());
    PointSet x, y;
    x.reserve(pairs.size());
    y.reserve(pairs.size());
    for (const AlignedPair& p : pairs) {
        if (p.i >= fixed.size() || p.j >= mobile.size())
            return Error::invalid_parameter("aligned pair (" + std::to_string(p.i) + ", " + std::to_string(p.j) +
                                            ") is outside the chains (" + std::to_string(fixed.size()) + " and " +
                                            std::to_string(mobile.size()) + " residues)");
        if (used_fixed[p.i] || used_mobile[p.j])
            return Error::invalid_parameter("aligned pair (" + std::to_string(p.i) + ", " + std::to_string(p.j) +
                                            ") repeats a residue already aligned");
        used_fixed[p.i] = true;
        used_mobile[p.j] = true;
        x.push_back(fixed[p.i]);
        y.push_back(mobile[p.j]);
        for (int a = 0; a < 3; ++a)
            if (!std::isfinite(x.back()[a]) || !std::isfinite(y.back()[a]))
                return Error::invalid_parameter("aligned pair (" + std::to_string(p.i) + ", " + std::to_string(p.j) +
                                                ") has a coordinate that is not a finite number");
    }

    TmScore out;
    out.n_aligned = pairs.size();
    if (pairs.empty()) return out;
    if (cancel.requested()) return Error::cancelled();

    tm::Scratch scratch;
    tm::SearchSettings s;
    s.cancel = &cancel;
    s.max_starts = kReportStarts;
    s.norm_length = static_cast<double>(fixed.size());
    s.d0 = tm_d0(fixed.size());
    s.d0_search = tm::search_cutoff(s.d0);
    const tm::SearchResult by_fixed = tm::search(x, y, s, scratch);
    if (cancel.requested()) return Error::cancelled();
    s.norm_length = static_cast<double>(mobile.size());
    s.d0 = tm_d0(mobile.size());
    s.d0_search = tm::search_cutoff(s.d0);
    const tm::SearchResult by_mobile = tm::search(x, y, s, scratch);
    if (cancel.requested()) return Error::cancelled();

    out.tm_fixed = by_fixed.score;
    out.tm_mobile = by_mobile.score;
    out.transform = by_fixed.transform;
    out.transform_mobile = by_mobile.transform;
    out.rmsd = superpose(x, y).rmsd;
    return out;
}

}  // namespace torva
