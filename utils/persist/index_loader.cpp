#include "persist/index_loader.hpp"

#include <atomic>
#include <exception>
#include <optional>
#include <thread>

#include "index/builder.hpp"
#include "index/helper_thread.hpp"
#include "index/mirror_builder.hpp"
#include "persist/json_reader.hpp"
#include "persist/os_error.hpp"

namespace vantoro::persist {
namespace {

// How one text's reading ended.
struct Outcome {
  std::optional<IoFailure> read;       // a reading failure: outranks every format error
  std::optional<FormatError> format;  // the first format error
  bool broken = false;                // not readable as a mirror (MirrorBroken)
  bool stopped = false;               // told to stop by the other text's outcome
  std::exception_ptr other;           // anything else (running out of memory)
};

// What one text's reader should still do, as the other text's outcome
// decides: everything, only read the rest (its format errors cannot be the
// one reported), or nothing.
enum class Need : int { kDecode, kRead, kNothing };

// A text whose reading stops when `need` says so.
class Watched final : public TextChunks {
 public:
  struct Stop {};
  Watched(TextChunks& text, const std::atomic<Need>& need) : text_(text), need_(need) {}
  bool next(std::string_view& piece) override {
    if (need_.load(std::memory_order_relaxed) != Need::kDecode) throw Stop{};
    return text_.next(piece);
  }

 private:
  TextChunks& text_;
  const std::atomic<Need>& need_;
};

// Reads the rest of a text, for a reading failure that would outrank the
// format error already found.
void read_rest(TextChunks& text, Outcome& outcome) {
  try {
    std::string_view piece;
    while (text.next(piece)) {
    }
  } catch (const IoFailure& failure) {
    outcome.read = failure;
  } catch (...) {
    outcome.other = std::current_exception();
  }
}

// Runs decode(text) and records how it ended. After a format error the text
// is read to its end. `need` (optional) can stop the decoding early: to
// only read the rest, or to do nothing more.
template <class Decode>
void run(TextChunks& text, Decode&& decode, Outcome& outcome, const std::atomic<Need>* need = nullptr) {
  try {
    if (need != nullptr) {
      Watched watched(text, *need);
      decode(static_cast<TextChunks&>(watched));
    } else {
      decode(text);
    }
    return;
  } catch (const IoFailure& failure) {
    outcome.read = failure;
    return;
  } catch (const FormatError& error) {
    outcome.format = error;
  } catch (const MirrorBroken&) {
    outcome.broken = true;
    return;
  } catch (const Watched::Stop&) {
    outcome.stopped = true;
    if (need->load(std::memory_order_relaxed) == Need::kNothing) return;
  } catch (...) {
    outcome.other = std::current_exception();
    return;
  }
  read_rest(text, outcome);
}

// Rethrows what the pair's outcomes hold, in the order of reading both
// texts whole and then decoding both. Returns when neither failed.
void rethrow_first(const Outcome& documents, const std::optional<IoFailure>& tokens_opening, const Outcome& tokens) {
  if (documents.other) std::rethrow_exception(documents.other);
  if (tokens.other) std::rethrow_exception(tokens.other);
  if (documents.read) throw *documents.read;
  if (tokens_opening) throw *tokens_opening;
  if (tokens.read) throw *tokens.read;
  if (documents.format) throw *documents.format;
  if (tokens.format) throw *tokens.format;
}

// The token text, opened now; a failure is kept, to be reported only if
// reading the documents text does not fail first.
std::unique_ptr<TextChunks> open_tokens(const OpenText& open, std::optional<IoFailure>& failure) {
  try {
    return open(1);
  } catch (const IoFailure& e) {
    failure = e;
    return nullptr;
  }
}

// Any pair of texts, exactly, through an IndexBuilder: one after the other.
Index decode_exactly(const OpenText& open) {
  std::unique_ptr<TextChunks> documents = open(0);
  std::optional<IoFailure> tokens_opening;
  std::unique_ptr<TextChunks> tokens = open_tokens(open, tokens_opening);
  IndexBuilder builder;
  Outcome documents_outcome, tokens_outcome;
  run(*documents, [&](TextChunks& text) { decode_documents(text, builder); }, documents_outcome);
  if (tokens) {
    if (documents_outcome.read || documents_outcome.format || documents_outcome.other) {
      if (!documents_outcome.read) read_rest(*tokens, tokens_outcome);
    } else {
      run(*tokens, [&](TextChunks& text) { decode_tokens(text, builder); }, tokens_outcome);
    }
  }
  rethrow_first(documents_outcome, tokens_opening, tokens_outcome);
  return builder.take();
}

}  // namespace

Index decode_index(const OpenText& open, size_t threads) {
  std::optional<Index> mirrored;
  {
    std::unique_ptr<TextChunks> documents = open(0);
    std::optional<IoFailure> tokens_opening;
    std::unique_ptr<TextChunks> tokens = open_tokens(open, tokens_opening);
    const DigestKey key;
    MirrorDocuments documents_side(key);
    MirrorTokens tokens_side(key);
    Outcome documents_outcome, tokens_outcome;
    std::atomic<Need> tokens_need{Need::kDecode};
    std::atomic<Need> documents_need{Need::kDecode};

    if (!tokens) {
      read_rest(*documents, documents_outcome);
      rethrow_first(documents_outcome, tokens_opening, tokens_outcome);
    }
    // What the token text still needs once the documents text is done.
    const auto tokens_need_after = [](const Outcome& d) {
      if (d.read || d.broken || d.other) return Need::kNothing;
      return d.format ? Need::kRead : Need::kDecode;
    };
    const auto decode_tokens_side = [&] {
      run(*tokens, [&](TextChunks& text) { decode_tokens(text, tokens_side); }, tokens_outcome, &tokens_need);
      // A broken mirror or a failure of memory ends the documents text
      // early too: the exact reading starts afresh, or nothing is reported
      // but that failure.
      if (tokens_outcome.broken || tokens_outcome.other) documents_need.store(Need::kNothing);
    };
    // On the helper thread: the token text, then a share of building the
    // index from the documents text, while that is still being read.
    const auto tokens_then_help = [&] {
      decode_tokens_side();
      const Outcome& t = tokens_outcome;
      if (!t.read && !t.format && !t.broken && !t.stopped && !t.other) documents_side.help();
    };
    std::thread helper;
    const bool parallel = threads >= 2 && start_helper(helper, tokens_then_help);
    run(
        *documents,
        [&](TextChunks& text) {
          decode_documents(text, documents_side);
          documents_side.flush();
        },
        documents_outcome, &documents_need);
    documents_side.close();
    tokens_need.store(tokens_need_after(documents_outcome));
    if (parallel) {
      helper.join();
    } else if (tokens_need.load() != Need::kNothing) {
      decode_tokens_side();
    }
    if (!documents_outcome.broken && !tokens_outcome.broken && !documents_outcome.stopped) {
      rethrow_first(documents_outcome, tokens_opening, tokens_outcome);
      Index index;
      if (documents_side.finish(tokens_side, index, threads)) mirrored = std::move(index);
    } else if (documents_outcome.other || tokens_outcome.other) {
      rethrow_first(documents_outcome, tokens_opening, tokens_outcome);
    }
  }
  // The files and everything read from them are released before an exact
  // reading opens them again.
  if (mirrored) return std::move(*mirrored);
  return decode_exactly(open);
}

}  // namespace vantoro::persist
