// BigUInt's modular exponentiation side by side with GMP's mpz_powm on the same numbers, and the
// whole type-30 computation. GMP is linked by this benchmark only, as the yardstick.

#include <benchmark/benchmark.h>
#include <gmp.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "Authentication.hpp"
#include "BigUInt.hpp"

namespace {

using Bytes = std::vector<std::uint8_t>;

// A modulus with its top and bottom bits set, a base below it and a full-length exponent: the
// shape of a Diffie-Hellman exponentiation with a key of `bits` bits.
struct Operands {
    Bytes modulus, base, exponent;
};

Operands operands(std::size_t bits) {
    std::mt19937 random(static_cast<unsigned>(bits));
    const auto draw = [&random](std::size_t count) {
        Bytes bytes(count);
        for (auto& byte : bytes) {
            byte = static_cast<std::uint8_t>(random());
        }
        return bytes;
    };
    const std::size_t length = bits / 8;
    Operands o{draw(length), draw(length), draw(length)};
    o.modulus.front() |= 0x80;
    o.modulus.back() |= 0x01;
    o.base.front() &= 0x7F;
    return o;
}

class Mpz {
  public:
    Mpz() { mpz_init(value_); }
    explicit Mpz(const Bytes& bigEndian) : Mpz() {
        mpz_import(value_, bigEndian.size(), 1, 1, 1, 0, bigEndian.data());
    }
    ~Mpz() { mpz_clear(value_); }
    Mpz(const Mpz&) = delete;
    Mpz& operator=(const Mpz&) = delete;
    mpz_ptr get() { return value_; }

    Bytes bytes(std::size_t length) {
        Bytes out(length, 0);
        std::size_t written = 0;
        std::vector<std::uint8_t> raw((mpz_sizeinbase(value_, 2) + 7) / 8 + 1);
        mpz_export(raw.data(), &written, 1, 1, 1, 0, value_);
        std::copy(raw.begin(), raw.begin() + static_cast<std::ptrdiff_t>(written),
                  out.end() - static_cast<std::ptrdiff_t>(written));
        return out;
    }

  private:
    mpz_t value_;
};

void BigUIntPower(benchmark::State& state) {
    const Operands o = operands(static_cast<std::size_t>(state.range(0)));
    const rfb::BigUInt modulus(o.modulus);
    const rfb::BigUInt base(o.base, modulus.wordCount());
    for (auto _ : state) {
        benchmark::DoNotOptimize(modulus.power(base, o.exponent));
    }
}

void GMPPowm(benchmark::State& state) {
    const Operands o = operands(static_cast<std::size_t>(state.range(0)));
    Mpz modulus(o.modulus), base(o.base), exponent(o.exponent), result;

    // The comparison is only meaningful if both compute the same number.
    mpz_powm(result.get(), base.get(), exponent.get(), modulus.get());
    const rfb::BigUInt m(o.modulus);
    if (result.bytes(o.modulus.size()) !=
        m.power(rfb::BigUInt(o.base, m.wordCount()), o.exponent).bytes(o.modulus.size())) {
        state.SkipWithError("BigUInt and GMP disagree");
        return;
    }
    for (auto _ : state) {
        mpz_powm(result.get(), base.get(), exponent.get(), modulus.get());
        benchmark::ClobberMemory();
    }
}

// Two exponentiations, MD5 and AES: what a type-30 handshake costs the client.
void ARDResponse(benchmark::State& state) {
    const Operands o = operands(static_cast<std::size_t>(state.range(0)));
    const rfb::ARDAuthentication::Parameters parameters{{0, 2}, o.modulus, o.base};
    for (auto _ : state) {
        benchmark::DoNotOptimize(rfb::ARDAuthentication::response(parameters, "user", "password"));
    }
}

BENCHMARK(BigUIntPower)->Arg(1024)->Arg(4096)->Unit(benchmark::kMillisecond);
BENCHMARK(GMPPowm)->Arg(1024)->Arg(4096)->Unit(benchmark::kMillisecond);
BENCHMARK(ARDResponse)->Arg(1024)->Arg(4096)->Unit(benchmark::kMillisecond);

// Prints the usual table, then BigUInt's time as a multiple of GMP's for each size.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            // Single runs, or the median when repetitions are asked for.
            const bool usable = run.run_type == Run::RT_Iteration || run.aggregate_name == "median";
            if (usable && !run.error_occurred) {
                times_[run.run_name.args][run.run_name.function_name] = run.GetAdjustedRealTime();
            }
        }
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        for (auto& [size, byName] : times_) {
            if (byName.count("BigUIntPower") != 0 && byName.count("GMPPowm") != 0) {
                std::printf("BigUInt / GMP at %s bits: %.1f\n", size.c_str(),
                            byName["BigUIntPower"] / byName["GMPPowm"]);
            }
        }
    }

  private:
    std::map<std::string, std::map<std::string, double>> times_;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
