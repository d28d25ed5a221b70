#!/usr/bin/env python3
"""Placeholder until the session-service double lands."""
import time
while True:
    time.sleep(60)
