// Asio and Beast are compiled once, here, instead of in every translation unit that uses them.
#include <boost/asio/impl/src.hpp>
#include <boost/beast/src.hpp>
