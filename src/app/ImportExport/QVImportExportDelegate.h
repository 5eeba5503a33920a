#pragma once
// What a copy between the desktop and a folder asks and tells: its questions
// and alerts by string-table keys, their answers, and the delegate that shows
// them (the browser's copy presenter).

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

enum class QVConflictAnswer { Stop, Skip, Replace };
enum class QVAliasAnswer { Skip, Stop };

// An alert or a question by the keys of the string table. `arguments` fill
// the "%s" of a format key in order; `detail` is the system's description of
// an error, shown as it is (the message key is then empty).
struct QVImportExportMessage {
    std::string titleKey;
    std::string messageKey;
    std::vector<std::string> arguments;
    std::string detail;
    std::vector<std::string> buttonKeys;  // the first is the default
    std::string checkBoxKey;              // empty: no apply-to-all box
};

// The browser's side of a copy. Every call comes on the controller's queue.
// A reply may be called at once or later, once; after the run ended or the
// controller went it does nothing.
class QVImportExportDelegate {
  public:
    using ConflictReply = std::function<void(QVConflictAnswer, bool applyToAll)>;
    using AliasReply = std::function<void(QVAliasAnswer)>;
    using Done = std::function<void()>;

    virtual ~QVImportExportDelegate() = default;
    virtual void importExporterProcessed(int64_t done, int64_t total) {}
    virtual void importExporterDidImportFiles() {}
    virtual void importExporterDidExportFiles() {}
    // Buttons Stop (default), Skip, Replace and the apply-to-all box, which
    // counts only with Replace. Without an answerer: Stop.
    virtual void askConflict(const QVImportExportMessage& question, ConflictReply reply) {
        reply(QVConflictAnswer::Stop, false);
    }
    // Asked once per run for the first symbolic link met. Without an answerer: Skip.
    virtual void askAlias(const QVImportExportMessage& question, AliasReply reply) {
        reply(QVAliasAnswer::Skip);
    }
    virtual void showAlert(const QVImportExportMessage& alert, Done done) { done(); }
};

// The question about an existing item named `name` (Stop, Skip, Replace and
// the apply-to-all box).
QVImportExportMessage copyConflictQuestion(const std::string& name);
