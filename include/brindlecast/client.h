/* The client side of the brindlecast install state, as a plain C API.
 *
 * A client started by brindlecast-launcher takes part in the update protocol
 * through <root>/state.json: it confirms a good start, asks to be started
 * again without the start being counted, and puts a newly installed version
 * on trial. Installers create the first state and remove slots nothing
 * refers to any more. Each call here is one whole read-modify-write of that file: it
 * reads and decodes state.json, changes the named fields, and replaces the
 * file the way the launcher does (the complete document is written to a
 * temporary file of the call's own beside it, flushed to disk, renamed over
 * state.json, and the directory flushed), so a reader never sees a partly
 * written file and a change that was reported done survives a power cut. A
 * file that cannot be read or decoded is never written: the call fails and
 * state.json keeps its bytes. Should the directory flush fail after the
 * rename, the call fails with a message saying that the new state.json is in
 * place but may not survive a power cut.
 *
 * The library keeps nothing between calls. Every call that writes holds an
 * exclusive flock on the install root directory from its read through its
 * save, as the launcher does, so calls from any thread or process never lose
 * each other's changes. On a file system without locks the calls go on
 * without: concurrent changes may then be lost, but a reader still never sees
 * a broken file. A lock that another writer keeps for more than 5 seconds
 * fails the call with BRINDLECAST_ERR_OTHER; running out of memory fails it
 * the same way. No exception leaves the library.
 *
 * Every call that takes an install root also accepts NULL, meaning the value
 * of BRINDLECAST_INSTALL_ROOT, which the launcher sets for its client.
 * Texts are UTF-8: a call that would store a slot, version or channel that is
 * not valid UTF-8 is refused with BRINDLECAST_ERR_INVALID_ARGUMENT, a message
 * naming the argument, and nothing written. Every call returns BRINDLECAST_OK
 * or an error code, a result the caller must use (BRINDLECAST_NODISCARD); the
 * message of the last failed call on the calling thread is available from
 * brindlecast_last_error().
 */
#ifndef BRINDLECAST_CLIENT_H
#define BRINDLECAST_CLIENT_H

#include <stddef.h>
#include <stdint.h>

#if defined(BRINDLECAST_CLIENT_BUILDING)
#define BRINDLECAST_API __attribute__((visibility("default")))
#else
#define BRINDLECAST_API
#endif

/* Marks a call whose result must be used: each that returns a
 * brindlecast_status, and the index lookups (brindlecast_state_version_at,
 * brindlecast_trials_at), whose outputs mean nothing past the end. With GCC,
 * Clang or any C++17 compiler a dropped result is then a warning; other
 * compilers see nothing. The accessors, the *_free calls and
 * brindlecast_last_error do not carry it: ignoring them loses nothing. C++17
 * takes the standard attribute, which a (void) cast silences; GCC ignores
 * such a cast for its own attribute, so C under GCC must test the result. */
#if defined(__cplusplus) && __cplusplus >= 201703L
#define BRINDLECAST_NODISCARD [[nodiscard]]
#elif defined(__GNUC__) || defined(__clang__)
#define BRINDLECAST_NODISCARD __attribute__((warn_unused_result))
#else
#define BRINDLECAST_NODISCARD
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef enum brindlecast_status {
  BRINDLECAST_OK = 0,
  BRINDLECAST_ERR_NOT_FOUND = 1,        /* state.json or a directory on its path does not exist */
  BRINDLECAST_ERR_PERMISSION = 2,       /* the system refused access */
  BRINDLECAST_ERR_INVALID_DATA = 3,     /* state.json could not be decoded; it was left untouched */
  BRINDLECAST_ERR_INVALID_ARGUMENT = 4, /* an argument the call cannot take, or no install root */
  BRINDLECAST_ERR_OTHER = 5,            /* any other failure reported by the system */
  BRINDLECAST_ERR_EXISTS = 6 /* state.json (brindlecast_init) or the slot (brindlecast_install) exists */
} brindlecast_status;

/* The message of the last failed call on this thread (one line), or "" when
 * the last call succeeded (even when a callback it called made a call of its
 * own that failed). Valid until the next call on this thread. */
BRINDLECAST_API const char* brindlecast_last_error(void);

/* A decoded copy of state.json; it does not follow later changes of the file. */
typedef struct brindlecast_state brindlecast_state;

/* Reads and decodes <root>/state.json. On success *out owns a new state to be
 * released with brindlecast_state_free; on failure *out is set to NULL. */
BRINDLECAST_NODISCARD BRINDLECAST_API brindlecast_status brindlecast_read_state(const char* install_root,
                                                                                brindlecast_state** out);
BRINDLECAST_API void brindlecast_state_free(brindlecast_state* state);

/* Field accessors. Returned texts live as long as the state. A text that
 * holds a NUL byte reads as cut at it. */
BRINDLECAST_API const char* brindlecast_state_active(const brindlecast_state* state);
BRINDLECAST_API const char* brindlecast_state_known_good(const brindlecast_state* state);
BRINDLECAST_API const char* brindlecast_state_channel(const brindlecast_state* state);
/* NULL when no version is on trial. */
BRINDLECAST_API const char* brindlecast_state_pending(const brindlecast_state* state);
BRINDLECAST_API uint32_t brindlecast_state_failed_starts(const brindlecast_state* state);
BRINDLECAST_API int brindlecast_state_started_ok(const brindlecast_state* state);
BRINDLECAST_API int brindlecast_state_relaunch_intent(const brindlecast_state* state);

/* The versions table: slot name -> version text. Entries are ordered by slot
 * name. For an index past the end both outputs are set to NULL and 0 is
 * returned; otherwise 1, with *version NULL for an unknown version. */
BRINDLECAST_API size_t brindlecast_state_version_count(const brindlecast_state* state);
BRINDLECAST_NODISCARD BRINDLECAST_API int brindlecast_state_version_at(const brindlecast_state* state,
                                                                       size_t index, const char** slot,
                                                                       const char** version);

/* The whole state as one line of compact JSON, as brindlecast-state show
 * prints it. Lives as long as the state. */
BRINDLECAST_API const char* brindlecast_state_json(const brindlecast_state* state);

/* Creates the first state.json of an installation: active and known_good
 * become slot, channel becomes channel (NULL: "stable"), and versions holds
 * slot -> version (NULL: unknown). The slot is checked as brindlecast_begin_trial
 * checks it. Refused with BRINDLECAST_ERR_EXISTS when state.json exists,
 * also when another program creates it meanwhile: an existing state is never
 * replaced. The install root must exist. */
BRINDLECAST_NODISCARD BRINDLECAST_API brindlecast_status brindlecast_init(const char* install_root,
                                                                          const char* slot,
                                                                          const char* version,
                                                                          const char* channel);

/* Confirms a good start of the running client: sets started_ok, and the
 * launcher commits a version on trial at its next start once it finds this
 * mark. executable is the client's own path, the argv[0] the launcher gave it.
 * While a version is on trial the call is refused with
 * BRINDLECAST_ERR_INVALID_ARGUMENT, and nothing is written, unless executable
 * is the same file as <root>/slots/<active>/brindlecast-client: an older
 * version that has just put a newer one on trial cannot confirm it. */
BRINDLECAST_NODISCARD BRINDLECAST_API brindlecast_status brindlecast_confirm_start(const char* install_root,
                                                                                   const char* executable);

/* Asks that the next start be a relaunch: sets relaunch_intent. That start is
 * not counted against a version on trial, and it clears started_ok without
 * committing. */
BRINDLECAST_NODISCARD BRINDLECAST_API brindlecast_status
brindlecast_set_relaunch_intent(const char* install_root);

/* Puts the version installed in <root>/slots/<slot>/ on trial: active and
 * pending become slot, versions[slot] becomes version (NULL: unknown), and
 * failed_starts and started_ok start afresh so nothing of an earlier run
 * counts for the new version. known_good, the rollback target, is kept, and
 * so is relaunch_intent. slot must be a single directory name: not empty,
 * without "/", and not beginning with "." (such names are kept for the tools'
 * own use); and, checked while the lock is held, it must hold a
 * brindlecast-client file.
 *
 * A version on trial that has confirmed its start (started_ok, and no
 * relaunch_intent) is committed first, in the same save, exactly as the
 * launcher's next start would: known_good becomes active. So a confirmed
 * version is never dropped as the rollback target. One that has not is
 * replaced. Refused (BRINDLECAST_ERR_INVALID_ARGUMENT), with nothing
 * written: a version whose last trial was rolled back or aborted (see
 * brindlecast_read_trials), and a version lower than the known-good slot's
 * recorded version (compared as MAJOR.MINOR.PATCH[-PRE]; where either is
 * missing or is not of that form the call goes on), unless the flags of
 * brindlecast_begin_trial_reporting allow them. Each trial begun, and each
 * commit, abort and replacement a writer makes, goes into the trial history
 * <root>/trials.json, saved after state.json under the same lock. */
BRINDLECAST_NODISCARD BRINDLECAST_API brindlecast_status brindlecast_begin_trial(const char* install_root,
                                                                                 const char* slot,
                                                                                 const char* version);

/* Flags of brindlecast_begin_trial_reporting, and of brindlecast_install. */
#define BRINDLECAST_TRIAL_RETRY 8            /* offer a version whose last trial failed */
#define BRINDLECAST_TRIAL_ALLOW_DOWNGRADE 16 /* a version lower than the known-good one's */

/* What a call that starts a trial tells besides its result. */
typedef enum brindlecast_notice_kind {
  BRINDLECAST_NOTICE_COMMITTED = 1, /* the trial before, confirmed, was committed first */
  BRINDLECAST_NOTICE_REPLACED = 2,  /* the trial before, unconfirmed, was replaced: its starts */
  BRINDLECAST_NOTICE_OTHER = 3      /* no failure, but worth a line: versions that cannot be
                                       compared, a trial history that was set aside */
} brindlecast_notice_kind;

/* brindlecast_begin_trial with flags (BRINDLECAST_TRIAL_*), calling notice
 * (if not NULL) with one line for each thing it tells, once the state is
 * saved. */
BRINDLECAST_NODISCARD BRINDLECAST_API brindlecast_status brindlecast_begin_trial_reporting(
    const char* install_root, const char* slot, const char* version, unsigned flags,
    void (*notice)(brindlecast_notice_kind kind, const char* line, void* context), void* context);

/* Rolls the version on trial back now, as the launcher's rollback after its
 * failed starts would, with the same record: active becomes known_good,
 * pending is dropped, failed_starts, started_ok and relaunch_intent are
 * reset. The next start runs known_good; the trial history records the
 * trial as aborted. With no version on trial it is refused with
 * BRINDLECAST_ERR_INVALID_ARGUMENT and nothing is written. */
BRINDLECAST_NODISCARD BRINDLECAST_API brindlecast_status brindlecast_abort_trial(const char* install_root);

/* Removes every slot (a directory, or a symbolic link) in <root>/slots/ that
 * the launcher cannot reach through active, known_good and pending, with all
 * it holds. Slots are compared by identity, not by spelling: each of the three
 * names is resolved as the system resolves the path the launcher starts, one
 * component at a time, every link read and followed where it stands, and an
 * entry is kept when its device and inode are those of a directory entered, a
 * link followed or the client reached on the way; a link is also kept when it
 * points at a kept slot. So a client that is a link into another slot keeps
 * that slot, and a slot that is a link into a directory beside it keeps that
 * directory. A name that resolves to nothing protects nothing. Links are
 * removed themselves, never followed; other files, and names beginning with
 * ".", are left alone.
 *
 * A slot that changed less than an hour ago (BRINDLECAST_PRUNE_MIN_AGE) is
 * left too: it may be an install in progress, filled but not yet named by
 * brindlecast_begin_trial. Its age is that of the slot directory's last
 * change, the later of its ctime and mtime; for a link, the link's own.
 * Install into a staging directory whose name begins with "." (never a slot),
 * rename it into slots/, then call brindlecast_begin_trial.
 *
 * Nothing on another file system is entered or removed: a slot holding a
 * mount point is left whole, the call goes on with the others and then fails
 * with BRINDLECAST_ERR_OTHER and a message naming it. The lock is held only
 * to decide, to drop the removed slots' versions entries and to rename them
 * to hidden names in slots/; the deletion runs after it, once slots/ is
 * flushed, so a launcher start waits no longer than for a save and a power
 * cut never brings a partly deleted slot back. The deletion needs no more
 * memory, stack or descriptors for a deeper tree, and a prune finishes what
 * an earlier one killed midway left, leaving only what another prune is
 * deleting at that moment. A directory of the caller's own that lacks its
 * owner's write or search permission (a read-only version) is given them
 * before it is emptied; one of another user is left (root removes any).
 * removed (if not NULL) is called with each slot name, in byte order, once
 * all of it is gone; with dry_run non-zero nothing changes and removed is
 * called with each name that would be, decided as a prune decides. Refused
 * when state.json cannot be read. */
BRINDLECAST_NODISCARD BRINDLECAST_API brindlecast_status brindlecast_prune(
    const char* install_root, int dry_run, void (*removed)(const char* slot, void* context), void* context);

/* The grace period of brindlecast_prune, in seconds. */
#define BRINDLECAST_PRUNE_MIN_AGE 3600

/* brindlecast_prune with a grace period of min_age_seconds: a slot that
 * changed less long ago is left, and kept_young (if not NULL) is called with
 * its name and age in seconds, in byte order, before any removed call. 0
 * removes every unreachable slot at once; a negative age is refused with
 * BRINDLECAST_ERR_INVALID_ARGUMENT. A slot left for its age is no failure. */
BRINDLECAST_NODISCARD BRINDLECAST_API brindlecast_status brindlecast_prune_older_than(
    const char* install_root, int dry_run, int64_t min_age_seconds,
    void (*removed)(const char* slot, void* context),
    void (*kept_young)(const char* slot, int64_t age_seconds, void* context), void* context);

/* What brindlecast_prune_reporting tells; any member may be NULL.
 * removed: as for brindlecast_prune. kept_young: a slot left for its age, in
 * seconds, and mtime_in_future non-zero when its mtime lies in the future, so
 * that its ctime alone counted. notice: one line about something left that is
 * no failure: a slot that a new install took while prune decided (put back),
 * or a leftover of a prune or an install that another process holds or that
 * cannot be removed (one of another user, say). Each is called only after
 * the writers' lock is released, so any of them may call this library. */
typedef struct brindlecast_prune_reports {
  void (*removed)(const char* slot, void* context);
  void (*kept_young)(const char* slot, int64_t age_seconds, int mtime_in_future, void* context);
  void (*notice)(const char* line, void* context);
  void* context;
} brindlecast_prune_reports;

/* brindlecast_prune_older_than with every report; reports may be NULL. Ages
 * are compared to the nanosecond: a slot that changed 40 ms ago is young for
 * a minimum age of 1 second. An mtime later than now is ignored; a time past
 * the year 2262 counts as that year's. */
BRINDLECAST_NODISCARD BRINDLECAST_API brindlecast_status brindlecast_prune_reporting(
    const char* install_root, int dry_run, int64_t min_age_seconds, const brindlecast_prune_reports* reports);

/* Flags of brindlecast_install. */
#define BRINDLECAST_INSTALL_MOVE 1     /* rename source into place instead of copying it */
#define BRINDLECAST_INSTALL_NO_TRIAL 2 /* install the slot, record nothing */
#define BRINDLECAST_INSTALL_INIT 4     /* create the first state.json: the slot active and known good */

/* Installs the version in the directory source as <root>/slots/<slot>/ and
 * puts it on trial, as brindlecast_begin_trial does (version NULL: unknown).
 * source holds the version exactly as it will sit in the slot, its
 * brindlecast-client among it. It is copied (regular files with their mode
 * bits, directories, symbolic links as links, never followed; each hard link
 * as a file of its own; on macOS with extended attributes), by the system's
 * fastest way (a clone, or a copy in the kernel), into a hidden staging
 * directory in slots/ that no prune removes while it is filled. Everything is
 * on disk before the staging directory is renamed to slots/<slot>, and that
 * rename is on disk before the state is saved; the rename and the trial
 * happen under the writers' lock. So a crash at any moment leaves no slot, a
 * complete slot no record names (prune's to remove), or a complete slot on
 * trial. With BRINDLECAST_INSTALL_MOVE, source itself is renamed into place
 * once its contents are flushed (it must be on the file system of slots/);
 * otherwise source is left as it was. With BRINDLECAST_INSTALL_NO_TRIAL
 * nothing is recorded. The staging directories of killed installs, and the
 * leftovers of killed prunes, are removed first.
 *
 * Refused, with nothing written: a slot name brindlecast_begin_trial refuses
 * (BRINDLECAST_ERR_INVALID_ARGUMENT); an existing slots/<slot>
 * (BRINDLECAST_ERR_EXISTS); a source that is not a directory, is slots/ or
 * lies in it, contains the install root, has no brindlecast-client file, or
 * holds a device, FIFO or socket (BRINDLECAST_ERR_INVALID_ARGUMENT). On any
 * failure nothing is left visible in slots/. */
BRINDLECAST_NODISCARD BRINDLECAST_API brindlecast_status brindlecast_install(
    const char* install_root, const char* source, const char* slot, const char* version, unsigned flags);

/* brindlecast_install, calling progress (if not NULL) now and then while it
 * copies, with the files and bytes done and in all. */
BRINDLECAST_NODISCARD BRINDLECAST_API brindlecast_status brindlecast_install_reporting(
    const char* install_root, const char* source, const char* slot, const char* version, unsigned flags,
    void (*progress)(uint64_t files_done, uint64_t files_total, uint64_t bytes_done, uint64_t bytes_total,
                     void* context),
    void* context);

/* Everything brindlecast_install_with takes besides its names; zero (or
 * NULL) for each member is the default. */
typedef struct brindlecast_install_options {
  unsigned flags;         /* BRINDLECAST_INSTALL_* and BRINDLECAST_TRIAL_* */
  const char* channel;    /* of the first state made with BRINDLECAST_INSTALL_INIT; NULL: "stable" */
  const char* public_key; /* not NULL: only an archive signed with this key installs */
  const char* signature;  /* the archive's signature; NULL: the archive's path + ".minisig" */
  uint64_t max_bytes;     /* an archive's most; 0: the file system's free space less a margin */
  /* As for brindlecast_install_reporting; for an archive files_total and
   * bytes_total are 0 (the count is not known before it is unpacked), and
   * while a signed archive is checked files_done is 0 and the bytes are its. */
  void (*progress)(uint64_t files_done, uint64_t files_total, uint64_t bytes_done, uint64_t bytes_total,
                   void* context);
  /* As for brindlecast_begin_trial_reporting. */
  void (*notice)(brindlecast_notice_kind kind, const char* line, void* context);
  void* context;
} brindlecast_install_options;

/* brindlecast_install with options (NULL: all defaults). source may also be
 * an archive: tar, plain or compressed with gzip, bzip2, xz or zstd, or
 * zip, recognised by its contents. It is unpacked straight into the staging
 * directory, every entry made by the library itself beneath it, never
 * through a link; the whole archive is refused, with nothing left, for an
 * absolute path, a "..", a path through a link, a link that leads out of
 * the slot, a hard link to anything but a file unpacked before it, a
 * device, FIFO or socket, a name that is not a valid file name, more than
 * max_bytes of data, more than 100,000 entries or a path deeper than 64
 * levels. Holes stay holes. Whatever the source, what is installed belongs
 * to the calling process's user and group (a move as root takes it over),
 * and set-user-ID, set-group-ID, sticky and group or other write bits are
 * dropped.
 *
 * With public_key (the base64 line of a minisign public key, or the path of
 * its file), source must be an archive with a detached minisign signature
 * (Ed25519, prehashed or legacy) whose trusted comment holds
 * "version:<version>" (version must then be given): the archive is copied
 * into a private file while its signature is checked, and only those bytes
 * are unpacked, once it holds. BRINDLECAST_INSTALL_INIT creates the first
 * state.json instead of a trial (refused with BRINDLECAST_ERR_EXISTS where
 * one exists); without it, and without BRINDLECAST_INSTALL_NO_TRIAL, a root
 * without state.json is refused with BRINDLECAST_ERR_NOT_FOUND, before
 * anything is written. The trial is begun as brindlecast_begin_trial begins
 * it, with its commit, refusals and notices. */
BRINDLECAST_NODISCARD BRINDLECAST_API brindlecast_status
brindlecast_install_with(const char* install_root, const char* source, const char* slot, const char* version,
                         const brindlecast_install_options* options);

/* What became of a trial. */
typedef enum brindlecast_outcome {
  BRINDLECAST_OUTCOME_ON_TRIAL = 0,    /* still on trial */
  BRINDLECAST_OUTCOME_COMMITTED = 1,   /* it confirmed its start: known_good */
  BRINDLECAST_OUTCOME_ROLLED_BACK = 2, /* the launcher rolled it back after its unconfirmed starts */
  BRINDLECAST_OUTCOME_ABORTED = 3,     /* brindlecast_abort_trial ended it */
  BRINDLECAST_OUTCOME_REPLACED = 4,    /* another trial began before it confirmed */
  BRINDLECAST_OUTCOME_UNKNOWN = 5      /* the state no longer tells */
} brindlecast_outcome;

/* One trial. Texts live as long as the list; a text may be NULL where said. */
typedef struct brindlecast_trial {
  const char* slot;
  const char* version; /* NULL: unknown */
  const char* begun;   /* UTC, 2026-12-08T09:00:00Z; "" for a trial no history names */
  brindlecast_outcome outcome;
  int by_launcher;             /* the launcher ended it (committed, rolled back) */
  uint32_t unconfirmed_starts; /* so far while on trial; at its end otherwise */
  const char* replaced_by;     /* the slot that replaced it; NULL otherwise or unknown */
  const char* ended;           /* when its end was recorded, UTC; NULL while on trial or unknown */
} brindlecast_trial;

typedef struct brindlecast_trials brindlecast_trials;

/* The trial history with each trial's outcome as state.json shows it now,
 * newest first; a version on trial that a writer without a history began
 * comes first, with begun "". Reads, writes nothing. A trials.json that
 * cannot be taken fails with BRINDLECAST_ERR_OTHER and a message saying why
 * (the next writer sets it aside); a root with none gives an empty list. On success *out
 * owns a new list to be released with brindlecast_trials_free. */
BRINDLECAST_NODISCARD BRINDLECAST_API brindlecast_status brindlecast_read_trials(const char* install_root,
                                                                                 brindlecast_trials** out);
BRINDLECAST_API size_t brindlecast_trials_count(const brindlecast_trials* trials);
/* Fills *out with the trial at index: 1, or 0 past the end. */
BRINDLECAST_NODISCARD BRINDLECAST_API int brindlecast_trials_at(const brindlecast_trials* trials,
                                                                size_t index, brindlecast_trial* out);
BRINDLECAST_API void brindlecast_trials_free(brindlecast_trials* trials);

#ifdef __cplusplus
}
#endif

#endif /* BRINDLECAST_CLIENT_H */
