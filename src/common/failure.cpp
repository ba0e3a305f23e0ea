#include "common/failure.h"

#include <exception>
#include <new>

Failure currentFailure()
{
    try {
        throw;
    } catch (const Failure &failure) {
        return failure;
    } catch (const std::bad_alloc &) {
        return {FailureCode::OutOfMemory, QStringLiteral("Out of memory")};
    } catch (const std::exception &error) {
        return {FailureCode::Internal, QString::fromLocal8Bit(error.what())};
    } catch (...) {
        return {FailureCode::Internal, QStringLiteral("Unexpected internal error")};
    }
}
