// Chance, as the job draws it: to spread out in time what many PCs would
// otherwise all do at the same moment, such as coming back to a busy server.
#pragma once

#include <random>

namespace kestrane {

class RandomSource {
public:
    virtual ~RandomSource() = default;
    // A fraction from 0 to 1; tests choose their own.
    virtual double Fraction() = 0;
};

// Fractions from a generator seeded once, from std::random_device, which
// mingw-w64's library draws from the system (rand_s), so that no two PCs
// draw alike.
class SeededRandomSource final : public RandomSource {
public:
    SeededRandomSource();
    double Fraction() override;

private:
    std::mt19937_64 generator_;
};

}  // namespace kestrane
