function ok = nimbrelMark(label, volume, port)
  % nimbrelMark  Tell a recorder on this computer (nmb record) what the
  % stimulus program just did: one UDP datagram to 127.0.0.1 per event.
  %
  %   nimbrelMark('feedback shown', n.timePoint);   % right after the flip
  %   nimbrelMark('cue');                           % the recorder gives it a volume
  %
  % The datagram is the text 'Nimbrel Mark: <volume> <seconds> <label>':
  % <volume> counted from 1 as the notifications count it, or '-'; <seconds>
  % the wall clock (Unix time) at the send with 6 decimals; <label> at most
  % 256 bytes, tabs and line breaks turned into spaces.  The port is 55570
  % unless the environment variable NMB_EVENTS_PORT or `port` says otherwise.
  % A mark never blocks and never raises an error into the stimulus loop: it
  % returns false when the datagram could not be sent.  Needs udpport (MATLAB
  % R2020b or later; Octave's instrument-control package).
  persistent sender defaultPort
  ok = false;
  try
    if nargin < 2, volume = []; end
    if nargin < 3 || isempty(port)
      if isempty(defaultPort)
        defaultPort = str2double(getenv('NMB_EVENTS_PORT'));
        if ~(defaultPort > 0 && defaultPort < 65536), defaultPort = 55570; end
      end
      port = defaultPort;
    end
    if ~(isscalar(port) && port == round(port) && port > 0 && port < 65536), return; end
    datagram = nimbrelMarkText(label, volume, NimbrelClient.wallClock());
    if isempty(sender)
      if exist('OCTAVE_VERSION', 'builtin') && ~exist('udpport')
        pkg load instrument-control
      end
      sender = udpport();
    end
    write(sender, datagram, '127.0.0.1', port);
    ok = true;
  catch
    ok = false;
  end
end
