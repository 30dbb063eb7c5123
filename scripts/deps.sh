#!/bin/sh
# Installs what building, running and testing Quillmere needs on Debian 12.
set -e
export DEBIAN_FRONTEND=noninteractive
apt-get update
apt-get install -y --no-install-recommends \
	build-essential cmake pkg-config libevent-dev liburiparser-dev libsystemd-dev libgtest-dev \
	python3 util-linux xdg-utils procps dbus-bin xvfb xauth x11-utils \
	libbenchmark-dev libspdlog-dev socat xxd bsdextrautils \
	systemd man-db dpkg-dev debhelper lintian file \
	debootstrap systemd-container \
	clang libclang-rt-14-dev
