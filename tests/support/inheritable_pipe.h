#pragma once
// A pipe whose write end every child would inherit unless its start names
// what it passes on: the handle is inheritable (Windows), the descriptor has
// no FD_CLOEXEC (elsewhere). A test closes its own write end after a start
// and sees whether the output ends, that is whether the child holds none.

#include <cstdint>

namespace tessaryndle::test {

class InheritablePipe {
public:
    // Throws std::runtime_error when the pipe cannot be made.
    InheritablePipe();
    ~InheritablePipe();
    InheritablePipe(const InheritablePipe&) = delete;
    InheritablePipe& operator=(const InheritablePipe&) = delete;

    // Closes our write end: from then on only processes that inherited it
    // keep the pipe open.
    void close_write_end();
    // Reads until every holder of the write end has closed it; false when
    // reading fails otherwise.
    [[nodiscard]] bool wait_for_end_of_output();

private:
    std::intptr_t read_ = -1;
    std::intptr_t write_ = -1;
};

}  // namespace tessaryndle::test
