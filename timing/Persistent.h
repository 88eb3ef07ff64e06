#pragma once

#include <stdexcept>
#include <string>

namespace movarth {

// A list index outside 0 to Count - 1: "List index out of bounds (%d)".
class EListError : public std::out_of_range
{
public:
    explicit EListError(int index);
};

// An assignment between objects of classes that do not know each other:
// "Cannot assign a %s to a %s".
class EAssignError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// An object that can copy its published settings from another one.
class TPersistent
{
public:
    virtual ~TPersistent() = default;

    virtual std::string ClassName() const = 0;

    // Copies the source's settings into this object. This base knows no source and fails
    // with EAssignError; a class that knows a source overrides it and calls this one for
    // every other source.
    virtual void Assign(const TPersistent& source);

protected:
    TPersistent() = default;
    TPersistent(const TPersistent&) = default;
    TPersistent& operator=(const TPersistent&) = default;
};

} // namespace movarth
