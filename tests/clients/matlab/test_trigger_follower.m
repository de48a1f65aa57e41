% The trigger example (clients/matlab/examples/trigger_follower.m) against a
% run of 6 volumes whose first trigger is missed, started by run_octave_tests.sh.
function test_trigger_follower(port, triggerPort)
  lines = trigger_follower('127.0.0.1', port, triggerPort, 30);
  assert(strcmp(lines{2}, 'first trigger: volume 2'), lines{2});
  assert(strcmp(lines{3}, 'volume   1: no trigger (missed)'), lines{3});
  for v = 2:6
    line = lines{v + 2};
    assert(strncmp(line, sprintf('volume %3d: trigger %d, pre-step ', v, v), 27), line);
  end
  assert(strcmp(lines{end}, 'run ended after 6 volumes: 1 without a trigger, 0 extra triggers'), lines{end});
end
