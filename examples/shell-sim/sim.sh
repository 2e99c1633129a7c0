#!/bin/sh
# A tarvo simulator in POSIX shell, written from docs/writing-a-simulator.md.
#
# A walker on the cells 0 to 9 of a line: action 0 steps left, 1 steps right. Reaching
# cell 9 ends the episode with a reward of 1; every other step costs 0.01. Episodes are
# cut off after 50 steps. The requests are matched as text, spaced or not, which is
# enough for the few fields this simulator reads.

position=0
steps=0

reply() { printf '%s\n' "$1"; }

while IFS= read -r line; do
  case "$line" in
    *'"method":"make"'* | *'"method": "make"'*)
      reply '{"result": null}' ;;
    *'"method":"sensor_space"'* | *'"method": "sensor_space"'*)
      reply '{"result": {"type": "Box", "low": 0, "high": 9, "shape": [1], "dtype": "float32"}}' ;;
    *'"method":"action_space"'* | *'"method": "action_space"'*)
      reply '{"result": {"type": "Discrete", "n": 2}}' ;;
    *'"method":"reset"'* | *'"method": "reset"'*)
      position=0
      steps=0
      reply '{"result": {"observation": [0], "info": {}}}' ;;
    *'"method":"step"'* | *'"method": "step"'*)
      case "$line" in
        *'"action":1'* | *'"action": 1'*) position=$((position + 1)) ;;
        *'"action":0'* | *'"action": 0'*) [ "$position" -gt 0 ] && position=$((position - 1)) ;;
        *) reply '{"error": "the action must be 0 or 1"}'; continue ;;
      esac
      steps=$((steps + 1))
      terminated=false
      truncated=false
      reward=-0.01
      if [ "$position" -eq 9 ]; then
        terminated=true
        reward=1.0
      elif [ "$steps" -ge 50 ]; then
        truncated=true
      fi
      reply "{\"result\": {\"observation\": [$position], \"reward\": $reward, \"terminated\": $terminated, \"truncated\": $truncated, \"info\": {\"steps\": $steps}}}" ;;
    *'"method":"close"'* | *'"method": "close"'*)
      reply '{"result": null}'
      exit 0 ;;
    *)
      echo "shell-sim: unknown request: $line" >&2
      reply '{"error": "unknown method"}' ;;
  esac
done
