classdef NimbrelSubscription < handle
  % NimbrelSubscription  Execute connection: the plug-in pushes
  % 'PreStepCalled', 'PostStepCalled' and 'PostRunCalled' with a time point.
  %
  %   s = NimbrelSubscription('127.0.0.1', 55555);
  %   s = NimbrelSubscription('127.0.0.1', 55555, 5, 60);  % wait up to 60 s for the host
  %   c = NimbrelClient('127.0.0.1', 55555);
  %   while true
  %     n = s.next(10);                     % [] after 10 s without a notification
  %     if isempty(n) || strcmp(n.name, 'PostRunCalled'), break; end
  %     if ~strcmp(n.name, 'PostStepCalled'), continue; end
  %     means = c.meansOfAllRois();
  %     fprintf('volume %d: feedback %.2f\n', n.timePoint, means(1));
  %   end
  %
  % next() returns a struct with name, timePoint and received (NimbrelClient.now()
  % at arrival, for latency logs), or [] on a time-out (next(0) polls); a
  % half-received notification stays buffered, so time-outs are harmless.
  % The struct also says whether the stream is irregular: skipped counts the
  % time points jumped over since the previous notification of the same name
  % (a volume the host dropped), repeated is true for a step that came twice.
  % A connection that closes right after 'PostRunCalled' is the normal end of
  % a run: next() returns [] and Ended is true.  One that closes before is a
  % lost run: next() raises nmb:connection.  The 4th argument waits for a
  % host that is not up yet, as NimbrelClient's does.  With s.Ledger set to a
  % NimbrelLedger, next() stamps the arrival of every "PreStepCalled" and
  % "PostStepCalled" into it.

  properties (SetAccess = private)
    Host
    Port
    Ended = false   % true once the connection closed after 'PostRunCalled'
  end

  properties
    Ledger = []     % a NimbrelLedger that next() stamps with every step's arrival, or []
  end

  properties (Access = private)
    Socket = []
    Pending = zeros(1, 0, 'uint8')
    LastTimePoints = struct('pre', -1, 'post', -1)
    LastWasPostRun = false
  end

  methods
    function obj = NimbrelSubscription(host, port, timeout, wait)
      if nargin < 1, host = '127.0.0.1'; end
      if nargin < 2, port = 55555; end
      if nargin < 3, timeout = 5; end
      if nargin < 4, wait = 0; end
      obj.Host = host;
      obj.Port = port;
      NimbrelClient.waitingFor(host, port, wait, @() obj.connectOnce(timeout));
    end

    function delete(obj)
      obj.Socket = [];
    end

    function n = next(obj, timeout)
      n = [];
      if obj.Ended, return; end
      try
        body = obj.nextFrame(timeout);
      catch err
        if strcmp(err.identifier, 'nmb:connection') && obj.LastWasPostRun
          obj.Ended = true;
          return;
        end
        rethrow(err);
      end
      if isempty(body), return; end
      n = NimbrelClient.decodeNotification(body{1});
      n.received = NimbrelClient.now();
      [n, obj.LastTimePoints] = NimbrelSubscription.markGap(n, obj.LastTimePoints);
      obj.LastWasPostRun = strcmp(n.name, 'PostRunCalled');
      if ~isempty(obj.Ledger), obj.Ledger.note(n); end
    end

    function n = waitForPostStep(obj, timeout)
      limit = NimbrelClient.deadline(timeout);
      while true
        n = obj.next(max(limit - NimbrelClient.now(), 0));
        if isempty(n) || strcmp(n.name, 'PostStepCalled'), return; end
      end
    end
  end

  methods (Static)
    function [n, last] = markGap(n, last)
      % Sets n.skipped and n.repeated from the previous time points `last`
      % (fields pre and post, -1 when there is none to compare with: after
      % connecting and after a run's end) and returns the updated `last`.
      n.skipped = 0;
      n.repeated = false;
      switch n.name
        case 'PreStepCalled'
          field = 'pre';
        case 'PostStepCalled'
          field = 'post';
        otherwise
          last = struct('pre', -1, 'post', -1);
          return;
      end
      previous = last.(field);
      if previous >= 0
        n.skipped = max(0, n.timePoint - previous - 1);
        n.repeated = n.timePoint == previous;
      end
      last.(field) = n.timePoint;
    end
  end

  methods (Access = private)
    function connectOnce(obj, timeout)
      obj.Socket = [];
      obj.Pending = zeros(1, 0, 'uint8');
      try
        obj.Socket = NimbrelClient.openSocket(obj.Host, obj.Port, timeout);
      catch err
        error('nmb:connection', 'cannot connect to %s:%d: %s', obj.Host, obj.Port, err.message);
      end
      try
        write(obj.Socket, NimbrelClient.frame(NimbrelClient.textBytes('Execute Socket')));
        body = obj.nextFrame(timeout);
      catch err
        NimbrelClient.explainHandshakeFailure(err, obj.Host, obj.Port);
      end
      if isempty(body)
        obj.Socket = [];
        error('nmb:timeout', 'no handshake answer within %g s', timeout);
      end
      NimbrelClient.decodeHandshake(body{1}, 'Execute Socket');
    end

    function body = nextFrame(obj, timeout)
      % {body} of the next frame, or {} (empty) when none completed in time.
      limit = NimbrelClient.deadline(timeout);
      while true
        if numel(obj.Pending) >= 8
          n = double(NimbrelClient.bigEndian(obj.Pending(1:8), 'int64'));
          if n < 0 || n > 2^20
            obj.Socket = [];
            error('nmb:protocol', 'notification frame of length %d refused', n);
          end
          if numel(obj.Pending) >= 8 + n
            body = {obj.Pending(9:8+n)};
            obj.Pending = obj.Pending(9+n:end);
            return;
          end
        end
        left = limit - NimbrelClient.now();
        if left <= 0, body = {}; return; end
        if isempty(obj.Socket), error('nmb:connection', 'execute connection is closed'); end
        obj.Socket.Timeout = max(left, 0.001);
        try
          chunk = read(obj.Socket, 1, 'uint8');     % wait for the first byte ...
          if ~isempty(chunk) && obj.Socket.NumBytesAvailable > 0
            chunk = [chunk(:).', read(obj.Socket, obj.Socket.NumBytesAvailable, 'uint8')];  % ... then take the rest
          end
        catch err
          if isempty(strfind(lower(err.message), 'time'))
            obj.Socket = [];
            error('nmb:connection', 'execute connection lost: %s', err.message);
          end
          chunk = [];
        end
        obj.Pending = [obj.Pending, uint8(chunk(:).')];
      end
    end
  end
end
