function lines = trigger_follower(host, port, triggerPort, waitSeconds)
% TRIGGER_FOLLOWER  Follow a run in step with the scanner's trigger, as a stimulus program does.
%
%   trigger_follower                          % 127.0.0.1:55555, triggers on udp 55600
%   lines = trigger_follower('127.0.0.1', 55555, 55600, 30)
%
% Waits for the scanner's first trigger, then follows the volumes the plug-in
% reports and says for each volume which trigger it came from and how long
% after it the host's "PreStepCalled" arrived (the processing delay); flags a
% volume that lags well behind the others, a volume without a trigger
% (missed) and a trigger that comes twice.  Returns the lines it printed.
%
% The triggers are UDP datagrams 'Nimbrel Trigger: RUN VOLUME SECONDS' on
% 127.0.0.1 (nimbrel-sim --trigger-udp PORT).  Needs udpport (MATLAB R2020b
% or later; Octave's instrument-control package).

if nargin < 1, host = '127.0.0.1'; end
if nargin < 2, port = 55555; end
if nargin < 3, triggerPort = 55600; end
if nargin < 4, waitSeconds = 0; end
addpath(fullfile(fileparts(mfilename('fullpath')), '..'));
if exist('OCTAVE_VERSION', 'builtin') && ~exist('udpport')
  pkg load instrument-control
end
lagFactor = 1.5;                       % a pre-step this much later than typical (and 20 ms more) lags

triggers = udpport('LocalHost', '127.0.0.1', 'LocalPort', triggerPort);
% Subscribed before the first trigger: the host's steps wait in the
% connection until the program follows them.
s = NimbrelSubscription(host, port, 10, waitSeconds);
lines = {};
lines = say(lines, sprintf('waiting for the scanner''s first trigger on udp 127.0.0.1:%d', triggerPort));
triggerAt = containers.Map('KeyType', 'double', 'ValueType', 'double');
pending = '';
delays = [];
missed = [];
extra = 0;
volumes = 0;
heard = false;
while true
  if triggers.NumBytesAvailable > 0
    arrival = NimbrelClient.now();
    % Datagrams may come joined; each ends with its six decimals.
    pending = [pending, char(read(triggers, triggers.NumBytesAvailable, 'uint8'))]; %#ok<AGROW>
    [tokens, ends] = regexp(pending, 'Nimbrel Trigger: (\d+) (\d+) \d+\.\d{6}', 'tokens', 'end');
    for k = 1:numel(tokens)
      volume = str2double(tokens{k}{2});
      if isKey(triggerAt, volume)
        extra = extra + 1;
        lines = say(lines, sprintf('extra trigger for volume %d, %.0f ms after its first', volume, ...
                    1000 * (arrival - triggerAt(volume))));
        continue;
      end
      triggerAt(volume) = arrival;
      if ~heard, lines = say(lines, sprintf('first trigger: volume %d', volume)); end
      heard = true;
    end
    if ~isempty(ends), pending = pending(ends(end) + 1:end); end
  end
  if ~heard, pause(0.005); continue; end
  n = s.next(0.005);
  if isempty(n)
    if s.Ended, break; end
    continue;
  end
  if strcmp(n.name, 'PostRunCalled')
    lines = say(lines, sprintf('run ended after %d volumes: %d without a trigger, %d extra triggers', volumes, numel(missed), extra));
    break;
  end
  if ~strcmp(n.name, 'PreStepCalled') || n.repeated, continue; end
  volumes = volumes + 1;
  if ~isKey(triggerAt, n.timePoint)
    missed(end + 1) = n.timePoint; %#ok<AGROW>
    lines = say(lines, sprintf('volume %3d: no trigger (missed)', n.timePoint));
    continue;
  end
  delay = 1000 * (n.received - triggerAt(n.timePoint));
  typical = delay;
  if ~isempty(delays), typical = median(delays); end
  delays(end + 1) = delay; %#ok<AGROW>
  flag = '';
  if delay > lagFactor * typical + 20, flag = sprintf('  LAGS (typically %.0f ms)', typical); end
  lines = say(lines, sprintf('volume %3d: trigger %d, pre-step %.0f ms after it%s', n.timePoint, n.timePoint, delay, flag));
end
clear triggers
end

function lines = say(lines, line)
% Prints LINE and adds it to LINES.
lines{end + 1} = line;
fprintf('%s\n', line);
end
