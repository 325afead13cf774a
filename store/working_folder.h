// The working folder: the files through which the handheld's data passes on
// its way to the server, and the rules that keep it in at least one safe
// place at every moment, whatever cuts a run short.
//
// Names are relative to the working folder (the program's current folder),
// except the done file. NAME stands for an upload file's name, such as
// 01110905070042.TXT.
//
//   File            Written by   Holds
//   Infile.pull     the pull     a copy being read from the handheld
//   Infile.pulled   the pull     a whole copy, flushed; the handheld's file
//                                may or may not have been deleted yet
//   Infile.merge    the pull     the staging file with Infile.pulled added
//   Infile.txt      the pull     the staging file: data not yet built into
//                                an upload file
//   SyncDone.owed   the pull     empty: data was taken from the handheld, so
//                                it is owed a done marker once nothing taken
//                                from it waits to be sent
//   NAME.tmp        the build    an upload file being written
//   NAME            the build    an upload file, kept as the archive
//   NAME.pending    the build    empty: NAME is not yet confirmed by the server
//   NAME.server     the sending  a copy of the server's file named NAME, to
//                                tell whether it is ours
//   NEW.rename      the sending  NAME under the next free name NEW, when the
//                                server holds a file named NAME that is not ours
//
// A run moves the data through these states, each entered by one durable
// step (a commit, a rename or a removal):
//
//   Moment of the run                Files besides earlier ones   Where the data is
//   pulling                          Infile.pull                  the handheld
//   pulled, before the delete        Infile.pulled                the handheld and Infile.pulled
//   handheld's file deleted          Infile.pulled                Infile.pulled
//   merging into the staging file    Infile.pulled, Infile.merge  Infile.pulled
//   merged, copy removed             Infile.merge                 Infile.merge
//   staged                           Infile.txt                   Infile.txt
//   building                         Infile.txt, NAME.tmp         Infile.txt
//   built, staging file removed      NAME.tmp                     NAME.tmp
//   published                        NAME, NAME.pending           NAME
//   confirmed by the server          NAME                         the server (NAME is the archive)
//   renaming for the server          NAME, NAME.pending,          NAME
//                                    NEW.rename
//   renamed, marker moved            NAME, NEW.pending,           NEW.rename (NAME is a
//                                    NEW.rename                   stray copy, never sent)
//   renamed                          NEW, NEW.pending             NEW
//
// (With no earlier staging file, Infile.pulled is renamed Infile.txt at once.)
//
// SettleInterruptedRun takes any of these states back to a plain one, so
// that every run starts from staged data and pending upload files only.
// SyncDone.owed lives across runs: it goes only once the done marker is on
// the handheld.
#pragma once

#include "common/job_window.h"
#include "common/local_files.h"

#include <functional>
#include <string>
#include <vector>

namespace kestrane {

inline constexpr const char* kStagingFile = "Infile.txt";
inline constexpr const char* kPullFile = "Infile.pull";
inline constexpr const char* kPulledFile = "Infile.pulled";
inline constexpr const char* kMergeFile = "Infile.merge";

inline constexpr const char* kUnfinishedSuffix = ".tmp";
inline constexpr const char* kPendingSuffix = ".pending";
inline constexpr const char* kServerCopySuffix = ".server";
inline constexpr const char* kRenamingSuffix = ".rename";

inline constexpr const char* kDoneMarkerOwedFile = "SyncDone.owed";

// The data folder, where the installer's shortcut starts the program.
inline constexpr const char* kDataFolder = "C:\\Kestrane";
// The content of the handheld's done marker.
inline const std::string kLocalDoneFile = std::string(kDataFolder) + "\\done.txt";

// Whether the handheld's data file still begins with the bytes of the pulled
// copy (open for reading, `dataBytes` long), that is, whether the delete of
// an interrupted pull never happened. Throws JobError when it cannot tell.
using PulledCopyCheck = std::function<bool(InputFile& pulledCopy, std::uint64_t dataBytes)>;

// Settles every state an interrupted run can leave:
// - an unfinished pull is dropped (the handheld still has its data);
// - an unfinished merge is dropped and a finished one becomes the staging file;
// - an unfinished NAME.tmp is dropped, a finished one is published;
// - a rename for the server is completed once its marker has moved, and
//   dropped before; a copy of a server's file is dropped;
// - Infile.pulled is merged into the staging file, or dropped when the
//   handheld still holds its data (checked with stillOnHandheld).
// Without stillOnHandheld (the handheld is not connected yet) Infile.pulled
// is left for a later call that has it. Throws FileError, and JobError when
// the window is closed during a merge.
void SettleInterruptedRun(LocalFiles& files, JobWindow& window,
                          const PulledCopyCheck* stillOnHandheld = nullptr);

// The files of the states above that only an interrupted run leaves behind
// (every one but staged data, upload files and their markers): what
// SettleInterruptedRun is about to settle.
std::vector<std::string> FilesOfAnInterruptedRun(LocalFiles& files);

// Adds the pulled copy to the end of the staging file and removes the copy.
// The window keeps answering meanwhile; when it is closed the merge stops,
// the copy stays, and JobError says so. Throws FileError.
void MergePulledIntoStaging(LocalFiles& files, JobWindow& window);

// ---------------------------------------------------------------- upload files

// Makes a finished NAME.tmp the upload file NAME, pending.
void PublishUpload(LocalFiles& files, const std::string& name);

// Whether NAME is in use in any of its states.
bool UploadNameTaken(LocalFiles& files, const std::string& name);

// Upload files not yet confirmed by the server, oldest first.
std::vector<std::string> PendingUploads(LocalFiles& files);

// Records that the server holds the whole upload file.
void MarkUploadConfirmed(LocalFiles& files, const std::string& uploadName);

// Gives the pending upload file `from` the name `to`, which must be free:
// its content is kept, but its first line now names `to`, and from then on
// `to` is pending instead of `from`. The window answers meanwhile. Throws
// FileError, std::runtime_error when `from` does not begin with its own
// header line, and lets WindowClosed through (nothing is renamed then).
void RenamePendingUpload(LocalFiles& files, JobWindow& window, const std::string& from, const std::string& to);

// Pending upload files that are gone (cleared away by hand, say): they can
// never be sent, and are reported once and retired, so that they never
// block the files behind them.
std::vector<std::string> OrphanedPendingUploads(LocalFiles& files);
void RetireOrphanedUpload(LocalFiles& files, const std::string& uploadName);

// ---------------------------------------------------------------- done marker

void RecordDoneMarkerOwed(LocalFiles& files);
bool DoneMarkerOwed(LocalFiles& files);
void ClearDoneMarkerOwed(LocalFiles& files);

}  // namespace kestrane
