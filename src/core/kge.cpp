#include "kge.hpp"

#include <cmath>
#include <cstddef>
#include <vector>

#include "large_buffer.hpp"
#include "libm.hpp"

namespace tarnwick::metrics {

namespace {

// ln(v + eps) of every value, unclamped: values below -eps give NaN and
// exactly -eps gives -infinity, both of which propagate into the score.
Values log_transform(std::span<const double> values) {
    Values out;
    reserve_large(out, values.size());
    for (double v : values) out.push_back(libm::log(v + kge_epsilon));
    return out;
}

double score(std::span<const double> sim, std::span<const double> obs) {
    const std::size_t n = obs.size();
    const double count = static_cast<double>(n);

    // Means: each sum in index order, one division at the end.
    double sum_sim = 0.0;
    double sum_obs = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        sum_sim += sim[i];
        sum_obs += obs[i];
    }
    const double mean_sim = sum_sim / count;
    const double mean_obs = sum_obs / count;

    // One joint sweep over the deviations from the means.
    double co = 0.0;      // sum of ds * do
    double ss_obs = 0.0;  // sum of do * do
    double ss_sim = 0.0;  // sum of ds * ds
    for (std::size_t i = 0; i < n; ++i) {
        const double ds = sim[i] - mean_sim;
        const double dobs = obs[i] - mean_obs;
        const double cross = ds * dobs;
        const double obs_sq = dobs * dobs;
        const double sim_sq = ds * ds;
        co += cross;
        ss_obs += obs_sq;
        ss_sim += sim_sq;
    }

    const double denominator = std::sqrt(ss_obs * ss_sim);
    const double r = co / denominator;  // NaN or infinite when a series is constant
    const double std_obs = std::sqrt(ss_obs / count);
    const double std_sim = std::sqrt(ss_sim / count);

    // Floors against (near-)zero denominators. Each is a plain "less than"
    // test, so NaN values are never replaced; the sign of a tiny mean is
    // not kept.
    const double bias_denominator = std::fabs(mean_obs) < kge_epsilon ? kge_epsilon : mean_obs;
    const double variability_denominator = std_obs < kge_epsilon ? kge_epsilon : std_obs;
    const double r_off = r - 1.0;
    const double correlation_term = denominator < kge_epsilon ? 1.0 : r_off * r_off;

    const double beta = mean_sim / bias_denominator;
    const double gamma = std_sim / variability_denominator;
    const double beta_off = beta - 1.0;
    const double gamma_off = gamma - 1.0;
    double distance = correlation_term + beta_off * beta_off;
    distance = distance + gamma_off * gamma_off;
    return 1.0 - std::sqrt(distance);
}

}  // namespace

Result<double> calculate_kge(std::span<const double> sim, std::span<const double> obs, bool use_log) {
    if (obs.empty()) return value_error("Observed series is empty.");
    if (sim.size() != obs.size()) return value_error("Series length mismatch.");
    if (!use_log) return score(sim, obs);
    const Values log_sim = log_transform(sim);
    const Values log_obs = log_transform(obs);
    return score(log_sim, log_obs);
}

}  // namespace tarnwick::metrics
