"""Test control plane for vela-agent: enrolment, telemetry, signed commands, updates."""
