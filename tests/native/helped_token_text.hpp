// The token file encoded with a second thread rendering ranges ahead, for
// the tests that compare it with the text written alone.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <thread>

#include "index/index.hpp"
#include "persist/json_writer.hpp"

namespace vantoro::testing {

struct HelpedTokenText {
  std::string text;
  size_t rendered_ahead = 0;
};

// Ranges of about `range_postings` postings. The helper calls help() until
// the writer is done: it returns at once until the writer has begun.
inline HelpedTokenText encode_tokens_helped(const Index& index, uint64_t range_postings) {
  struct Collect final : persist::TextOutput {
    std::string text;
    void write(std::string_view piece) override { text.append(piece); }
  };
  persist::TokenTextAhead ahead(index, range_postings);
  Collect out;
  std::atomic<bool> done{false};
  std::thread helper([&] {
    while (!done.load()) ahead.help();
  });
  persist::encode_tokens(index, out, &ahead);
  done.store(true);
  helper.join();
  return HelpedTokenText{std::move(out.text), ahead.rendered_ahead()};
}

}  // namespace vantoro::testing
