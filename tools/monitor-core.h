#pragma once
// What the debug-output monitor decides apart from the objects themselves: which names it
// listens on and what it says about the others; and, once a writer has signalled a message, taking
// it out of the buffer and handing the buffer back, writing it as one line, queueing the line for
// the printing thread, and counting what a full queue drops. Portable C++, so that the host suite
// runs it under the sanitizers; dbwin-monitor.cpp owns the objects, the waits and the threads.
#include <atomic>
#include <cstddef>
#include <string>

namespace dbwin {

// How long a writer waits for the buffer, about; its handles keep the names alive meanwhile.
constexpr unsigned long kWriterTimeoutS = 10;
// The error of a call that was refused (ERROR_ACCESS_DENIED).
constexpr unsigned long kAccessDenied = 5;

// The objects of one set of names, in the order the monitor creates them. The writers' mutex
// comes last and may be there already: writers create it too.
enum class Object { kBufferReady, kDataReady, kBuffer, kMutex };

// What creating the objects of one set of names found. The monitor stops at the first that was
// there already or that it could not create. An object counts as there when the monitor opened
// it or was refused it: either way someone else made it.
struct Found {
    bool eventExisted;   // DBWIN_BUFFER_READY
    bool dataExisted;    // DBWIN_DATA_READY
    bool bufferExisted;  // DBWIN_BUFFER
    unsigned long error; // of the call that failed (refused, too, when the object was there), or 0
    Object stoppedAt;    // a view of the buffer that failed counts as the buffer
};

// Whether the monitor listens on the names: it made every object itself.
bool Listens(const Found& found);

// Why the monitor does not listen on the names and what to do, as a line for the administrator;
// "" when it listens. In session 0 the global names are the only ones, and also the local ones.
std::string Explain(const Found& found, bool global, bool sessionZero);

// The last line about the names: where the monitor listens or, listening on none, that it exits.
// `found` holds the global names, then outside session 0 the local ones.
std::string Summary(const Found* found, bool sessionZero);

// The shared buffer: the writer's process id (4 bytes), then its text, ending in a zero.
constexpr std::size_t kBufferSize = 4096;
// About ten thousand lines of a service's trace. A power of two, so that the byte counters may
// wrap around.
constexpr std::size_t kQueueBytes = std::size_t{1} << 20;

// Where printed lines go; write must write all of data.
struct Sink {
    void (*write)(void* context, const char* data, std::size_t size);
    void* context;
};

// The lines waiting for the printer, one after the other in a ring, with one reader thread
// putting them in and one printer thread writing them out. head_ counts the bytes ever queued,
// tail_ those printed: the reader writes only past head_ and the printer reads only before it,
// so neither waits for the other.
class Queue {
public:
    explicit Queue(Sink sink) : sink_(sink) {}

    // The reader's step: copies the message out of the buffer, clears the process id (a set one
    // is that of the writer filling the buffer now), hands the buffer to the next writer
    // (handBack), then queues the line. Returns whether the printer has something new to write.
    bool Take(char* buffer, void (*handBack)(void* context), void* context);

    // The printer's step: writes what is queued to the sink, or, with nothing queued, the notice
    // of messages dropped since. Returns false when there was nothing to write.
    bool PrintSome();

private:
    bool Add(const char* line, std::size_t size);
    void Put(const char* data, std::size_t size);

    Sink sink_;
    char ring_[kQueueBytes] = {};
    std::atomic<std::size_t> head_{0};
    std::atomic<std::size_t> tail_{0};
    std::atomic<unsigned long> dropped_{0};
};

// Any program of the session may write a message, so control characters are written as \xNN:
// a message can neither begin a line that reads as another process's nor send a console escape
// sequence to the administrator's console. `out` needs four bytes a character; returns the length
// written.
std::size_t Escape(const char* text, char* out);

} // namespace dbwin
