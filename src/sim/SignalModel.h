#pragma once

// The true power that a simulated probe sees, sample by sample: a constant,
// a cycle of steps or a repeating ramp, optionally with slow sinusoidal
// drift and Gaussian noise on top. Powers are in the probe family's unit
// (watts, or milliwatts for "ZN" probes). The model is a pure function of
// the sample number and one standard normal draw, so that a seeded
// generator outside it makes every run reproducible.

#include <cstdint>
#include <vector>

namespace zelmora {

class SignalModel {
public:
    static SignalModel Constant(double power);
    // Holds each level for samplesPerStep samples, then starts over.
    static SignalModel Stepped(std::vector<double> levels, std::uint32_t samplesPerStep);
    // Rises (or falls) linearly from `from` to `to` over `samples` samples,
    // then starts over.
    static SignalModel Ramped(double from, double to, std::uint32_t samples);

    // A sine of relativeAmplitude times the base power, one period every
    // periodSamples samples.
    SignalModel& WithDrift(double relativeAmplitude, std::uint32_t periodSamples);
    // Noise with a standard deviation of relativeSigma times the drifting
    // power.
    SignalModel& WithNoise(double relativeSigma);

    bool HasNoise() const { return m_noise != 0; }

    // The power of sample n (0-based) given a standard normal draw; never
    // negative.
    double PowerAt(std::uint64_t n, double standardNormal) const;

private:
    enum class Shape { Constant, Stepped, Ramped };

    SignalModel(Shape shape, std::vector<double> levels, std::uint32_t samples);
    double BaseAt(std::uint64_t n) const;

    Shape m_shape;
    std::vector<double> m_levels; // the constant, the steps, or from and to
    std::uint32_t m_samples;      // per step, or per ramp
    double m_drift = 0;
    std::uint32_t m_driftPeriod = 1;
    double m_noise = 0;
};

} // namespace zelmora
