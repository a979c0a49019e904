#include "persist/save_load.hpp"

#include <exception>
#include <optional>

#include "fault.hpp"
#include "index/document_maps.hpp"
#include "index/helper_thread.hpp"
#include "index/worker_pool.hpp"
#include "persist/file_io.hpp"
#include "persist/format_error.hpp"
#include "persist/index_loader.hpp"
#include "persist/json_writer.hpp"
#include "progress/stdout_line.hpp"

namespace vantoro {
namespace {

constexpr std::string_view kDocumentsFile = "index.json";
constexpr std::string_view kTokensFile = "token_index.json";

[[noreturn]] void write_fault(const persist::IoFailure& failure) {
  throw Fault("Unable to write file: " + failure.description);
}

persist::TextWriter documents_writer(const Index& index) {
  return [&index](persist::TextOutput& out) { persist::encode_documents(index, out); };
}

persist::TextWriter tokens_writer(const Index& index) {
  return [&index](persist::TextOutput& out) { persist::encode_tokens(index, out); };
}

void write_file(std::string_view path, const persist::TextWriter& write) {
  try {
    persist::replace_file(path, write);
  } catch (const persist::IoFailure& failure) {
    write_fault(failure);
  }
}

std::string counts_message(const char* verb, const Index& index) {
  return std::string(verb) + " index with " + std::to_string(index.document_count()) + " documents and " +
         std::to_string(index.token_count()) + " tokens\n";
}

// Runs first() here and second() on another thread when the pool's size
// setting allows two threads and one can be started; else one after the
// other. Each returns its own failure, if any, without throwing.
void run_both(bool two_threads, const std::function<std::exception_ptr()>& first,
              const std::function<std::exception_ptr()>& second, std::exception_ptr& first_failure,
              std::exception_ptr& second_failure) {
  run_pair(two_threads, [&] { first_failure = first(); }, [&] { second_failure = second(); });
}

template <class Action>
std::exception_ptr failure_of(Action&& action) {
  try {
    action();
    return nullptr;
  } catch (...) {
    return std::current_exception();
  }
}

void rethrow(const std::exception_ptr& failure) {
  if (!failure) return;
  try {
    std::rethrow_exception(failure);
  } catch (const persist::IoFailure& e) {
    write_fault(e);
  }
}

// The two encodings of a save. When two threads run them, each helps the
// other once its own file is written: the token file's thread makes the
// documents' maps ahead (with short or middling document names, the
// documents file is the longer encoding), and the documents file's thread
// renders ranges of the token file ahead (with long names, the token file
// is the longer).
class SharedEncoding {
 public:
  SharedEncoding(const Index& index, bool two_threads) : index_(index) {
    if (!two_threads) return;
    if (index.document_maps() == nullptr) columns_.emplace(index);
    token_text_.emplace(index);
  }

  // The writers of the two files. A second call of one (a write in place,
  // where a rename failed) encodes its file alone.
  persist::TextWriter documents_writer() {
    return [this](persist::TextOutput& out) {
      ColumnQueue* queue = columns_ && !columns_used_ ? &*columns_ : nullptr;
      columns_used_ = true;
      persist::encode_documents(index_, out, queue);
    };
  }
  persist::TextWriter tokens_writer() {
    return [this](persist::TextOutput& out) {
      persist::TokenTextAhead* ahead = token_text_ && !token_text_used_ ? &*token_text_ : nullptr;
      token_text_used_ = true;
      persist::encode_tokens(index_, out, ahead);
    };
  }

  // Runs prepare() for one file, then, unless it failed, helps the other
  // file's writer. Helping records what that writer must know; anything
  // else it throws only ends the help. Returns prepare()'s failure.
  template <class Prepare>
  std::exception_ptr documents_then_help(Prepare&& prepare) {
    std::exception_ptr failure;
    {
      const ClosingQueue closing(columns_ ? &*columns_ : nullptr);  // ends the other's help
      failure = failure_of(prepare);
    }
    if (token_text_ && !failure) static_cast<void>(failure_of([&] { token_text_->help(); }));
    return failure;
  }
  template <class Prepare>
  std::exception_ptr tokens_then_help(Prepare&& prepare) {
    std::exception_ptr failure;
    {
      const ClosingText closing(token_text_);  // ends the other's help
      failure = failure_of(prepare);
    }
    if (columns_ && !failure) static_cast<void>(failure_of([&] { columns_->help(); }));
    return failure;
  }

 private:
  struct ClosingText {
    std::optional<persist::TokenTextAhead>& text;
    ~ClosingText() {
      if (text) text->close();
    }
  };

  const Index& index_;
  std::optional<ColumnQueue> columns_;
  std::optional<persist::TokenTextAhead> token_text_;
  bool columns_used_ = false;
  bool token_text_used_ = false;
};

}  // namespace

std::string join_path(std::string_view directory, std::string_view file_name) {
  std::string path(directory);
  if (!path.empty() && path.back() != '/') path += '/';
  path += file_name;
  return path;
}

void save_index(const Index& index, std::string_view path) { write_file(path, documents_writer(index)); }

void save_token_index(const Index& index, std::string_view path) { write_file(path, tokens_writer(index)); }

void save(const Index& index, std::string_view directory) {
  // Both files are encoded at the same time, each into its own temporary
  // file; the token file is put in place only once the documents file is,
  // so that a failure on the documents file leaves the token file as it
  // was, and a failure on the token file leaves the new documents file.
  const bool two_threads = configured_thread_count() >= 2;
  SharedEncoding encoding(index, two_threads);
  const persist::TextWriter write_documents = encoding.documents_writer();
  const persist::TextWriter write_tokens = encoding.tokens_writer();
  std::optional<persist::FileReplacement> documents;
  try {
    documents.emplace(join_path(directory, kDocumentsFile));
  } catch (const persist::IoFailure& failure) {
    write_fault(failure);
  }
  std::optional<persist::FileReplacement> tokens;
  const std::exception_ptr tokens_opening = failure_of([&] { tokens.emplace(join_path(directory, kTokensFile)); });
  std::exception_ptr documents_failure, tokens_failure;
  run_both(
      two_threads,
      [&] { return encoding.documents_then_help([&] { documents->prepare(write_documents); }); },
      [&] { return tokens ? encoding.tokens_then_help([&] { tokens->prepare(write_tokens); }) : nullptr; },
      documents_failure, tokens_failure);
  rethrow(documents_failure);
  rethrow(failure_of([&] { documents->commit(write_documents); }));
  rethrow(tokens_opening);
  rethrow(tokens_failure);
  rethrow(failure_of([&] { tokens->commit(write_tokens); }));
  // The replaced files' storage is freed as their last descriptors close,
  // in the background for large files.
  documents->release_target();
  tokens->release_target();
  write_stdout(counts_message("Saved", index));
}

void load(Index& index, std::string_view directory) {
  // Everything is read and decoded before anything is replaced, so a
  // failure at any step leaves the index as it was.
  const std::string paths[2] = {join_path(directory, kDocumentsFile), join_path(directory, kTokensFile)};
  const persist::OpenText open = [&paths](int text, uint64_t offset) -> std::unique_ptr<persist::TextChunks> {
    return std::make_unique<persist::FileChunks>(paths[text], offset);
  };
  Index fresh;
  try {
    fresh = persist::decode_index(open, configured_thread_count());
  } catch (const persist::IoFailure& failure) {
    throw Fault("Unable to read file: " + failure.description);
  } catch (const persist::FormatError& error) {
    throw Fault("called `Result::unwrap()` on an `Err` value: " + error.text());
  }
  // Made before the index changes: nothing may fail after the replacement.
  const std::string message = counts_message("Loaded", fresh);
  index.replace_contents(std::move(fresh));
  write_stdout(message);
}

}  // namespace vantoro
