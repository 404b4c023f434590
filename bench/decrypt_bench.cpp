// The query server's decryption sequence (lock, ClearKeyMaterial, both setters, Decrypt) for
// plain texts of 16, 64 and 256 bytes, beside the same work done through OpenSSL EVP (Base64
// decode, MD5 of the phrase twice, AES-128-CBC decrypt with its padding check) at its best:
// algorithms fetched once, contexts reused. Prints ns per call for both and, per size, their
// ratio (the median over repetitions when --benchmark_repetitions asks for several).
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "crypto/request_decryption.h"
#include "macparam/param_codec.h"
#include "platform/counted_string.h"

namespace {

constexpr int64_t kSizes[] = {16, 64, 256};

std::string Plain(int64_t plainBytes) {
  return std::string(static_cast<std::size_t>(plainBytes), 'a');
}

void ServiceSequence(benchmark::State& state) {
  const std::string param = EncodeParameter(Plain(state.range(0)));
  const std::u16string wide(param.begin(), param.end());
  const platform::UniqueBstr text(
      platform::SysAllocStringLen(wide.data(), static_cast<uint32_t>(wide.size())));
  for (auto _ : state) {
    platform::Bstr plain = nullptr;
    benchmark::DoNotOptimize(DecryptRequestParameter(text.get(), &plain));
    platform::SysFreeString(plain);
  }
}

// Fetched once for the whole run: what a server that cares about the cost would do.
class OpenSsl {
 public:
  OpenSsl()
      : md5_(EVP_MD_fetch(nullptr, "MD5", nullptr)),
        aes_(EVP_CIPHER_fetch(nullptr, "AES-128-CBC", nullptr)),
        digest_(EVP_MD_CTX_new()),
        cipher_(EVP_CIPHER_CTX_new()) {}
  ~OpenSsl() {
    EVP_CIPHER_CTX_free(cipher_);
    EVP_MD_CTX_free(digest_);
    EVP_CIPHER_free(aes_);
    EVP_MD_free(md5_);
  }
  OpenSsl(const OpenSsl&) = delete;
  OpenSsl& operator=(const OpenSsl&) = delete;

  [[nodiscard]] bool Ready() const {
    return md5_ != nullptr && aes_ != nullptr && digest_ != nullptr && cipher_ != nullptr;
  }

  // The plain length, or -1 when a step fails.
  int Sequence(const std::string& param, std::vector<unsigned char>& cipher,
               std::vector<unsigned char>& plain) {
    static constexpr unsigned char kPhrase[] = "mervane_Tol";
    unsigned char key[EVP_MAX_MD_SIZE];
    unsigned char iv[EVP_MAX_MD_SIZE];
    if (!Digest(kPhrase, sizeof kPhrase - 1, key) || !Digest(kPhrase, sizeof kPhrase - 1, iv)) {
      return -1;
    }
    int decoded =
        EVP_DecodeBlock(cipher.data(), reinterpret_cast<const unsigned char*>(param.data()),
                        static_cast<int>(param.size()));
    if (decoded < 0) {
      return -1;
    }
    decoded -= param.ends_with("==") ? 2 : param.ends_with("=") ? 1 : 0;
    int first = 0;
    int last = 0;
    if (EVP_DecryptInit_ex2(cipher_, aes_, key, iv, nullptr) != 1 ||
        EVP_DecryptUpdate(cipher_, plain.data(), &first, cipher.data(), decoded) != 1 ||
        EVP_DecryptFinal_ex(cipher_, plain.data() + first, &last) != 1) {
      return -1;
    }
    return first + last;
  }

 private:
  bool Digest(const unsigned char* bytes, std::size_t count, unsigned char* digest) {
    unsigned int size = 0;
    return EVP_DigestInit_ex2(digest_, md5_, nullptr) == 1 &&
           EVP_DigestUpdate(digest_, bytes, count) == 1 &&
           EVP_DigestFinal_ex(digest_, digest, &size) == 1;
  }

  EVP_MD* md5_;
  EVP_CIPHER* aes_;
  EVP_MD_CTX* digest_;
  EVP_CIPHER_CTX* cipher_;
};

void OpenSslSequence(benchmark::State& state) {
  const std::string expected = Plain(state.range(0));
  const std::string param = EncodeParameter(expected);
  std::vector<unsigned char> cipher(param.size());
  std::vector<unsigned char> plain(param.size() + 16);
  OpenSsl openSsl;
  // Checked once, outside the timing: a sequence that fails would be timed doing less.
  if (!openSsl.Ready() ||
      openSsl.Sequence(param, cipher, plain) != static_cast<int>(state.range(0)) ||
      !std::equal(expected.begin(), expected.end(), plain.begin())) {
    state.SkipWithError("OpenSSL does not decipher the parameter");
    return;
  }
  for (auto _ : state) {
    benchmark::DoNotOptimize(openSsl.Sequence(param, cipher, plain));
  }
}

BENCHMARK(ServiceSequence)->Arg(kSizes[0])->Arg(kSizes[1])->Arg(kSizes[2]);
BENCHMARK(OpenSslSequence)->Arg(kSizes[0])->Arg(kSizes[1])->Arg(kSizes[2]);

// Keeps each repetition's time per call, by benchmark and size, so that the ratios can be
// printed at the end. Keyed by the name's parts, not the whole name, which also carries
// "repeats:N" and the like; sizes a filter left out are not printed.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.error_occurred) {
        continue;
      }
      const Key key{run.run_name.function_name, run.run_name.args};
      if (run.run_type == Run::RT_Iteration) {
        times_[key].push_back(run.GetAdjustedRealTime());
      } else if (run.aggregate_name == "median") {
        // All there is with --benchmark_report_aggregates_only.
        medians_[key] = run.GetAdjustedRealTime();
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }

  void PrintRatios() const {
    std::printf("\nplain bytes   service ns/call   OpenSSL ns/call   service/OpenSSL\n");
    for (const int64_t size : kSizes) {
      const std::string args = std::to_string(size);
      const double service = TimeOf({"ServiceSequence", args});
      const double openSsl = TimeOf({"OpenSslSequence", args});
      if (service <= 0 || openSsl <= 0) {
        continue;
      }
      std::printf("%11s %17.0f %17.0f %17.2f\n", args.c_str(), service, openSsl, service / openSsl);
    }
  }

 private:
  using Key = std::pair<std::string, std::string>;

  // The median over the repetitions; 0 when the benchmark did not run.
  [[nodiscard]] double TimeOf(const Key& key) const {
    if (const auto runs = times_.find(key); runs != times_.end()) {
      return Median(runs->second);
    }
    const auto median = medians_.find(key);
    return median == medians_.end() ? 0 : median->second;
  }

  static double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
  }

  std::map<Key, std::vector<double>> times_;
  std::map<Key, double> medians_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatios();
  benchmark::Shutdown();
  return 0;
}
