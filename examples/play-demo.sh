#!/bin/sh
# The demo's stand-in for the game: says that it started and which version the
# update left in the directory it was started from.
version=$(cat VERSION 2>/dev/null || echo "unknown")
message="Tovolia $version started with arguments: $*"
echo "$message"
echo "$message" > game-output.txt
