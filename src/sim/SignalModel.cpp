#include "sim/SignalModel.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <utility>

namespace zelmora {

SignalModel::SignalModel(Shape shape, std::vector<double> levels, std::uint32_t samples)
    : m_shape(shape), m_levels(std::move(levels)), m_samples(std::max<std::uint32_t>(samples, 1)) {
    if (m_levels.empty()) {
        m_levels.push_back(0);
    }
}

SignalModel SignalModel::Constant(double power) {
    return SignalModel(Shape::Constant, {power}, 1);
}

SignalModel SignalModel::Stepped(std::vector<double> levels, std::uint32_t samplesPerStep) {
    return SignalModel(Shape::Stepped, std::move(levels), samplesPerStep);
}

SignalModel SignalModel::Ramped(double from, double to, std::uint32_t samples) {
    return SignalModel(Shape::Ramped, {from, to}, samples);
}

SignalModel& SignalModel::WithDrift(double relativeAmplitude, std::uint32_t periodSamples) {
    m_drift = relativeAmplitude;
    m_driftPeriod = std::max<std::uint32_t>(periodSamples, 1);
    return *this;
}

SignalModel& SignalModel::WithNoise(double relativeSigma) {
    m_noise = relativeSigma;
    return *this;
}

double SignalModel::BaseAt(std::uint64_t n) const {
    switch (m_shape) {
    case Shape::Stepped:
        return m_levels[(n / m_samples) % m_levels.size()];
    case Shape::Ramped: {
        const double along = static_cast<double>(n % m_samples) / m_samples;
        return m_levels[0] + (m_levels[1] - m_levels[0]) * along;
    }
    case Shape::Constant:
        break;
    }
    return m_levels[0];
}

double SignalModel::PowerAt(std::uint64_t n, double standardNormal) const {
    const double base = BaseAt(n);
    const double phase =
        2 * std::numbers::pi * static_cast<double>(n % m_driftPeriod) / m_driftPeriod;
    const double drifting = base * (1 + m_drift * std::sin(phase));
    const double power = drifting * (1 + m_noise * standardNormal);
    return power > 0 ? power : 0;
}

} // namespace zelmora
