// The query server's decryption sequence (lock, ClearKeyMaterial, both setters, Decrypt) for
// plain texts of 16, 64 and 256 bytes, beside the same work done through OpenSSL EVP (Base64
// decode, MD5 of the phrase twice, AES-128-CBC decrypt with its padding check). Prints ns per
// call for both and their ratio.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "crypto/request_decryption.h"
#include "macparam/param_codec.h"
#include "platform/counted_string.h"

namespace {

std::string Parameter(int64_t plainBytes) {
  return EncodeParameter(std::string(static_cast<std::size_t>(plainBytes), 'a'));
}

void ServiceSequence(benchmark::State& state) {
  const std::string param = Parameter(state.range(0));
  const std::u16string wide(param.begin(), param.end());
  const platform::UniqueBstr text(
      platform::SysAllocStringLen(wide.data(), static_cast<uint32_t>(wide.size())));
  for (auto _ : state) {
    platform::Bstr plain = nullptr;
    benchmark::DoNotOptimize(DecryptRequestParameter(text.get(), &plain));
    platform::SysFreeString(plain);
  }
}

void OpenSslSequence(benchmark::State& state) {
  const std::string param = Parameter(state.range(0));
  static constexpr unsigned char kPhrase[] = "mervane_Tol";
  std::vector<unsigned char> cipher(param.size());
  std::vector<unsigned char> plain(param.size() + 16);
  EVP_CIPHER_CTX* context = EVP_CIPHER_CTX_new();
  for (auto _ : state) {
    unsigned char key[EVP_MAX_MD_SIZE];
    unsigned char iv[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EVP_Digest(kPhrase, sizeof kPhrase - 1, key, &size, EVP_md5(), nullptr);
    EVP_Digest(kPhrase, sizeof kPhrase - 1, iv, &size, EVP_md5(), nullptr);
    int decoded =
        EVP_DecodeBlock(cipher.data(), reinterpret_cast<const unsigned char*>(param.data()),
                        static_cast<int>(param.size()));
    decoded -= param.ends_with("==") ? 2 : param.ends_with("=") ? 1 : 0;
    int first = 0;
    int last = 0;
    EVP_DecryptInit_ex(context, EVP_aes_128_cbc(), nullptr, key, iv);
    EVP_DecryptUpdate(context, plain.data(), &first, cipher.data(), decoded);
    benchmark::DoNotOptimize(EVP_DecryptFinal_ex(context, plain.data() + first, &last));
  }
  EVP_CIPHER_CTX_free(context);
}

BENCHMARK(ServiceSequence)->Arg(16)->Arg(64)->Arg(256);
BENCHMARK(OpenSslSequence)->Arg(16)->Arg(64)->Arg(256);

// Keeps each run's time per call so that the ratio can be printed at the end.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      times_[run.benchmark_name()] = run.GetAdjustedRealTime();
    }
    ConsoleReporter::ReportRuns(runs);
  }

  void PrintRatios() const {
    std::printf("\nplain bytes   service ns/call   OpenSSL ns/call   service/OpenSSL\n");
    for (const char* size : {"16", "64", "256"}) {
      const double ours = times_.at(std::string("ServiceSequence/") + size);
      const double theirs = times_.at(std::string("OpenSslSequence/") + size);
      std::printf("%11s %17.0f %17.0f %17.2f\n", size, ours, theirs, ours / theirs);
    }
  }

 private:
  std::map<std::string, double> times_;
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
