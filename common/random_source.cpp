#include "common/random_source.h"

#include <chrono>
#include <exception>

namespace kestrane {
namespace {

std::mt19937_64::result_type Seed()
{
    try {
        return std::random_device()();
    } catch (const std::exception&) {
        // A system that gives no random numbers must not stop the job: the
        // moment it started differs from PC to PC, which still spreads them.
        return static_cast<std::mt19937_64::result_type>(
            std::chrono::system_clock::now().time_since_epoch().count());
    }
}

}  // namespace

SeededRandomSource::SeededRandomSource() : generator_(Seed()) {}

double SeededRandomSource::Fraction()
{
    return std::uniform_real_distribution<double>(0.0, 1.0)(generator_);
}

}  // namespace kestrane
