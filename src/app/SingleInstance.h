#pragma once

#include <QLockFile>

#include <memory>

namespace kova {

// Holds a lock file in the user's runtime directory for as long as the program runs. A lock left behind by a
// program that crashed is taken over.
class SingleInstance {
public:
    SingleInstance();
    // False when another instance of the program holds the lock.
    bool acquired() const { return m_acquired; }

private:
    std::unique_ptr<QLockFile> m_lock;
    bool m_acquired = false;
};

} // namespace kova
