#!/bin/sh
# Runs once after the image is unpacked, before the application starts.
echo "demo install.sh: preparing /tmp/home for the demo application"
mkdir -p /tmp/home/run
