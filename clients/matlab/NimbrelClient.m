classdef NimbrelClient < handle
  % NimbrelClient  Request connection to the Nimbrel network plug-in.
  %
  % Works in MATLAB (R2020b or later, tcpclient) and in Octave with the
  % instrument-control package (pkg load instrument-control).
  %
  %   c = NimbrelClient('127.0.0.1', 55555);        % connect and handshake
  %   c = NimbrelClient('127.0.0.1', 55555, 5, 60); % time-out 5 s, wait up to 60 s for the host
  %   n = c.nrOfRois();
  %   means = c.meansOfAllRois();                   % all ROI means, one round trip
  %   vol = c.volumeAtTime(0);                      % int16 array, size [x y z]
  %   r = NimbrelClient.pairMatrix(c.pearsonCorrelation(10));
  %
  % A host that is not up yet (the connection is refused, cannot be made or
  % closes before the handshake answer) is tried again every 0.25 s while the
  % wait (4th argument, seconds; Wait property) lasts, also by reconnect();
  % then nmb:connection says how long it waited.
  %
  % Errors carry identifiers:
  %   nmb:refused     the plug-in answered "Wrong request!"; the message is its
  %                   text (e.g. 'NrOfROI out of range'), for a ROI out of range
  %                   followed by the valid range ('NrOfROI out of range (ROI 7
  %                   asked; the host has 3 ROIs, 0 to 2)'); the connection stays usable
  %   nmb:timeout     no complete reply within Timeout seconds
  %   nmb:connection  the connection failed or was closed (closed before the
  %                   handshake answer: the plug-in may refuse this client's
  %                   address, see docs/security.md)
  %   nmb:protocol    the reply does not match the request
  % After nmb:timeout or nmb:protocol the connection is closed (a late reply
  % would be taken for the next answer); call reconnect().
  %
  % Values: counts and indices come back as doubles, reals as single,
  % volumes as int16.  Volumes assume x varies fastest, then y, then z.

  properties (SetAccess = private)
    Host
    Port
    ServerVersion = [0 0 0]   % the three integers of the handshake answer (2 0 0)
    LastReceiveTime = 0       % NimbrelClient.now() when the last reply arrived (monotonic seconds)
  end

  properties
    Timeout = 5               % seconds, for the handshake and each reply
    MaxFrameBody = 2^30       % larger replies are refused
    Wait = 0                  % seconds to wait for a host that is not up yet
  end

  properties (Access = private)
    Socket = []
  end

  methods
    function obj = NimbrelClient(host, port, timeout, wait)
      if nargin < 1, host = '127.0.0.1'; end
      if nargin < 2, port = 55555; end
      if nargin >= 3, obj.Timeout = timeout; end
      if nargin >= 4, obj.Wait = wait; end
      obj.Host = host;
      obj.Port = port;
      obj.reconnect();
    end

    function delete(obj)
      obj.close();
    end

    function close(obj)
      obj.Socket = [];
    end

    function ok = isConnected(obj)
      ok = ~isempty(obj.Socket);
    end

    function reconnect(obj)
      NimbrelClient.waitingFor(obj.Host, obj.Port, obj.Wait, @() obj.connectOnce());
    end

    function body = request(obj, name, varargin)
      % Any request by name with integer arguments; returns the reply body
      % (uint8) after checking that it is no error reply and echoes the name.
      body = obj.exchange(name, [varargin{:}]);
      NimbrelClient.openReply(body, name, []);
    end

    % --- requests without arguments
    function v = currentTimePoint(obj), v = obj.intRequest('tGetCurrentTimePoint'); end
    function v = expectedNrOfTimePoints(obj), v = obj.intRequest('tGetExpectedNrOfTimePoints'); end
    function v = currentProtocolCondition(obj), v = obj.intRequest('tGetCurrentProtocolCondition'); end
    function v = fullNrOfPredictors(obj), v = obj.intRequest('tGetFullNrOfPredictors'); end
    function v = currentNrOfPredictors(obj), v = obj.intRequest('tGetCurrentNrOfPredictors'); end
    function v = nrOfConfoundPredictors(obj), v = obj.intRequest('tGetNrOfConfoundPredictors'); end
    function v = nrOfContrasts(obj), v = obj.intRequest('tGetNrOfContrasts'); end
    function v = nrOfRois(obj), v = obj.intRequest('tGetNrOfROIs'); end
    function v = numberOfClasses(obj), v = obj.intRequest('tGetNumberOfClasses'); end
    function v = projectName(obj), v = obj.textRequest('tGetProjectName'); end
    function v = watchFolder(obj), v = obj.textRequest('tGetWatchFolder'); end
    function v = targetFolder(obj), v = obj.textRequest('tGetTargetFolder'); end
    function v = feedbackFolder(obj), v = obj.textRequest('tGetFeedbackFolder'); end
    function d = dimsOfFunctionalData(obj)
      d = NimbrelClient.decodeInts(obj.exchange('tGetDimsOfFunctionalData', []), 'tGetDimsOfFunctionalData', [], 3);
    end
    function v = betaMaps(obj), v = obj.realRun('tGetBetaMaps', []); end
    function v = contrastMaps(obj), v = obj.realRun('tGetContrastMaps', []); end
    function out = currentClassifierOutput(obj)
      % struct with fields produced (false for the plug-in's empty reply),
      % result and values (one single per pair of classes).
      out = NimbrelClient.decodeClassifier(obj.exchange('tGetCurrentClassifierOutput', []));
    end

    % --- ROI requests
    function v = meanOfRoi(obj, roi), v = obj.realRequest('tGetMeanOfROI', roi); end
    function v = detrendedValueOfRoi(obj, roi), v = obj.realRequest('tGetDetrendedValueOfROI', roi); end
    function v = meanOfRoiAtTimePoint(obj, roi, t), v = obj.realRequest('tGetMeanOfROIAtTimePoint', [roi t]); end
    function v = nrOfVoxelsOfRoi(obj, roi)
      v = NimbrelClient.decodeInts(obj.exchange('tGetNrOfVoxelsOfROI', roi), 'tGetNrOfVoxelsOfROI', roi, 1);
    end
    function v = betaOfRoi(obj, roi, beta), v = obj.realRequest('tGetBetaOfROI', [roi beta]); end
    function v = existingMeansOfRoi(obj, roi, endTimePoint)
      % Means of the ROI at time points 0 .. endTimePoint-1.
      v = obj.realRun('tGetExistingMeansOfROI', [roi endTimePoint]);
    end
    function c = coordsOfVoxelOfRoi(obj, roi, voxel)
      c = NimbrelClient.decodeInts(obj.exchange('tGetCoordsOfVoxelOfROI', [roi voxel]), ...
                                   'tGetCoordsOfVoxelOfROI', [roi voxel], 3);
    end
    function c = allCoordsOfVoxelsOfRoi(obj, roi)
      % One row [x y z] per voxel of the ROI.
      body = obj.exchange('tGetAllCoordsOfVoxelsOfROI', roi);
      pos = NimbrelClient.openReply(body, 'tGetAllCoordsOfVoxelsOfROI', roi);
      c = NimbrelClient.runOf(body, pos, 'int32', 12);
      c = reshape(c, 3, []).';
    end
    function means = meansOfAllRois(obj)
      % The current mean of every ROI: asks for the ROI count, then sends all
      % mean requests back to back and reads the replies in order.
      n = obj.nrOfRois();
      means = zeros(1, n, 'single');
      bytes = uint8([]);
      for roi = 0:n-1
        bytes = [bytes, NimbrelClient.requestFrame('tGetMeanOfROI', roi)]; %#ok<AGROW>
      end
      if n == 0, return; end
      limit = NimbrelClient.deadline(obj.Timeout);
      obj.sendBytes(bytes);
      refusal = [];
      for roi = 0:n-1
        body = obj.receiveFrame(limit);
        try
          means(roi + 1) = NimbrelClient.decodeReal(body, 'tGetMeanOfROI', roi);
        catch err
          if ~strcmp(err.identifier, 'nmb:refused'), obj.close(); rethrow(err); end
          if isempty(refusal), refusal = err; end
        end
      end
      if ~isempty(refusal), rethrow(refusal); end
    end

    % --- voxels and volumes
    function v = valueOfVoxelAtTime(obj, x, y, z, t), v = obj.realRequest('tGetValueOfVoxelAtTime', [x y z t]); end
    function v = betaOfVoxel(obj, beta, x, y, z), v = obj.realRequest('tGetBetaOfVoxel', [beta x y z]); end
    function v = mapValueOfVoxel(obj, map, x, y, z), v = obj.realRequest('tGetMapValueOfVoxel', [map x y z]); end
    function v = valueOfDesignMatrix(obj, pred, t), v = obj.realRequest('tGetValueOfDesignMatrix', [pred t]); end
    function v = valueOfAllVoxelsAtTime(obj, t), v = obj.sampleRun('tGetValueOfAllVoxelsAtTime', t); end
    function v = rawValueOfAllVoxelsAtTime(obj, t), v = obj.sampleRun('tGetRawValueOfAllVoxelsAtTime', t); end
    function v = volumeAtTime(obj, t)
      % The volume at time point t as an int16 array of size [x y z].
      d = obj.dimsOfFunctionalData();
      v = reshape(obj.valueOfAllVoxelsAtTime(t), d(1), d(2), d(3));
    end

    % --- correlations (pair lists in the order (0,1), (0,2), ..., (R-2,R-1))
    function v = pearsonCorrelation(obj, w), v = obj.realRun('tGetPearsonCorrelation', w); end
    function v = pearsonCorrelationAtTimePoint(obj, w, t), v = obj.realRun('tGetPearsonCorrelationAtTimePoint', [w t]); end
    function v = partialCorrelation(obj, w), v = obj.realRun('tGetPartialCorrelation', w); end
    function v = partialCorrelationAtTimePoint(obj, w, t), v = obj.realRun('tGetPartialCorrelationAtTimePoint', [w t]); end
    function v = instantProxyCorrelation(obj, w), v = obj.realRequest('tGetInstantProxyCorrelation', w); end
    function v = instantProxyCorrelationAtTimePoint(obj, w, t)
      v = obj.realRequest('tGetInstantProxyCorrelationAtTimePoint', [w t]);
    end
  end

  methods (Access = private)
    function connectOnce(obj)
      % One connection and handshake; reconnect() waits for the host with it.
      obj.close();
      try
        obj.Socket = NimbrelClient.openSocket(obj.Host, obj.Port, obj.Timeout);
      catch err
        error('nmb:connection', 'cannot connect to %s:%d: %s', obj.Host, obj.Port, err.message);
      end
      try
        obj.sendBytes(NimbrelClient.frame(NimbrelClient.textBytes('Request Socket')));
        body = obj.receiveFrame(NimbrelClient.deadline(obj.Timeout));
      catch err
        NimbrelClient.explainHandshakeFailure(err, obj.Host, obj.Port);
      end
      obj.ServerVersion = NimbrelClient.decodeHandshake(body, 'Request Socket');
    end

    function v = intRequest(obj, name)
      v = NimbrelClient.decodeInts(obj.exchange(name, []), name, [], 1);
    end
    function v = textRequest(obj, name)
      body = obj.exchange(name, []);
      pos = NimbrelClient.openReply(body, name, []);
      [v, pos] = NimbrelClient.readText(body, pos);
      NimbrelClient.expectEnd(body, pos);
    end
    function v = realRequest(obj, name, args)
      v = NimbrelClient.decodeReal(obj.exchange(name, args), name, args);
    end
    function v = realRun(obj, name, args)
      body = obj.exchange(name, args);
      v = NimbrelClient.runOf(body, NimbrelClient.openReply(body, name, args), 'single', 4);
    end
    function v = sampleRun(obj, name, args)
      body = obj.exchange(name, args);
      v = NimbrelClient.runOf(body, NimbrelClient.openReply(body, name, args), 'int16', 2);
    end

    function body = exchange(obj, name, args)
      limit = NimbrelClient.deadline(obj.Timeout);
      obj.sendBytes(NimbrelClient.requestFrame(name, args));
      body = obj.receiveFrame(limit);
      if ~isempty(args) && ~isempty(strfind(name, 'OfROI'))
        obj.addRoiRange(body, args(1));
      end
    end

    function addRoiRange(obj, body, roi)
      % A refusal of an ROI request: raised here with the valid ROI range when
      % the ROI asked is outside it (every ROI request takes the ROI first).
      try
        [echoed, pos] = NimbrelClient.readText(uint8(body(:).'), 1);
        if ~strcmp(echoed, 'Wrong request!'), return; end
        text = NimbrelClient.readText(uint8(body(:).'), pos);
        n = obj.nrOfRois();
      catch
        return;                  % not a refusal, or the count is not to be had
      end
      if roi >= 0 && roi < n, return; end
      if n <= 0
        error('nmb:refused', '%s (the host has no ROIs)', text);
      end
      error('nmb:refused', '%s (ROI %d asked; the host has %d ROIs, 0 to %d)', text, roi, n, n - 1);
    end

    function sendBytes(obj, bytes)
      if isempty(obj.Socket)
        error('nmb:connection', 'not connected to the plug-in (call reconnect())');
      end
      try
        write(obj.Socket, uint8(bytes));
      catch err
        obj.close();
        error('nmb:connection', 'connection lost while sending: %s', err.message);
      end
    end

    function body = receiveFrame(obj, limit)
      head = obj.receiveBytes(8, limit);
      n = NimbrelClient.bigEndian(head, 'int64');
      if n < 0 || n > obj.MaxFrameBody
        obj.close();
        error('nmb:protocol', 'frame length %d is negative or above the limit of %d bytes', n, obj.MaxFrameBody);
      end
      body = obj.receiveBytes(double(n), limit);
      obj.LastReceiveTime = NimbrelClient.now();
    end

    function bytes = receiveBytes(obj, n, limit)
      bytes = zeros(1, n, 'uint8');
      got = 0;
      while got < n
        left = limit - NimbrelClient.now();
        if left <= 0
          obj.close();
          error('nmb:timeout', 'no complete reply from the plug-in within %g s', obj.Timeout);
        end
        obj.Socket.Timeout = max(left, 0.001);
        try
          chunk = read(obj.Socket, n - got, 'uint8');
        catch err
          if ~isempty(strfind(lower(err.message), 'timeout')) || ~isempty(strfind(lower(err.message), 'timed out'))
            chunk = [];
          else
            obj.close();
            error('nmb:connection', 'connection lost: %s', err.message);
          end
        end
        chunk = uint8(chunk(:).');
        bytes(got + 1:got + numel(chunk)) = chunk;
        got = got + numel(chunk);
      end
    end
  end

  methods (Static)
    % --- matrix helper
    function m = pairMatrix(pairs, diagonal)
      % The symmetric R x R matrix of a pair list (0,1), (0,2), ..., (R-2,R-1).
      if nargin < 2, diagonal = 1; end
      k = numel(pairs);
      r = (1 + sqrt(1 + 8 * k)) / 2;
      if k == 0 || r ~= round(r)
        error('nmb:argument', '%d values are not the pairs of any number of ROIs', k);
      end
      m = diagonal * eye(r);
      idx = 0;
      for a = 1:r-1
        for b = a+1:r
          idx = idx + 1;
          m(a, b) = pairs(idx);
          m(b, a) = pairs(idx);
        end
      end
    end

    % --- encoding
    function b = requestFrame(name, args)
      % Every argument must be a whole number: int32() would round 0.5 to an
      % index and take the character '0' as 48.
      if ~isempty(args) && (~isnumeric(args) || ~isreal(args) || any(~isfinite(double(args(:)))) || ...
                            any(double(args(:)) ~= round(double(args(:)))) || ...
                            any(double(args(:)) < -2^31) || any(double(args(:)) >= 2^31))
        error('nmb:argument', '%s: arguments must be whole numbers (indices, time points), not %s %s', ...
              name, class(args), mat2str(double(args)));
      end
      body = NimbrelClient.textBytes(name);
      for a = args(:).'
        body = [body, NimbrelClient.toBigEndianBytes(int32(a))]; %#ok<AGROW>
      end
      b = NimbrelClient.frame(body);
    end
    function b = textBytes(s)
      s = uint8(s(:).');
      b = [NimbrelClient.toBigEndianBytes(uint32(numel(s) + 1)), s, uint8(0)];
    end
    function b = frame(body)
      b = [NimbrelClient.toBigEndianBytes(int64(numel(body))), uint8(body)];
    end

    % --- decoding; every function works on a uint8 body and a 1-based position
    function pos = openReply(body, name, args)
      % Errors nmb:refused for an error reply, nmb:protocol when the echoed
      % name or arguments differ; returns the position after the echo.
      body = uint8(body(:).');
      if isempty(body)
        error('nmb:protocol', 'empty reply to "%s"', name);
      end
      [echoed, pos, isNull] = NimbrelClient.readText(body, 1);
      if ~isNull && strcmp(echoed, 'Wrong request!')
        text = NimbrelClient.readText(body, pos);
        error('nmb:refused', '%s', text);
      end
      if isNull || ~strcmp(echoed, name)
        error('nmb:protocol', 'reply names "%s" but the request was "%s"', echoed, name);
      end
      for a = args(:).'
        [v, pos] = NimbrelClient.readInt32(body, pos);
        if v ~= a
          error('nmb:protocol', 'reply to "%s" echoes argument %d instead of %d', name, v, a);
        end
      end
    end
    function v = decodeInts(body, name, args, count)
      pos = NimbrelClient.openReply(body, name, args);
      v = zeros(1, count);
      for i = 1:count
        [v(i), pos] = NimbrelClient.readInt32(body, pos);
      end
      NimbrelClient.expectEnd(body, pos);
    end
    function v = decodeReal(body, name, args)
      pos = NimbrelClient.openReply(body, name, args);
      NimbrelClient.need(body, pos, 4);
      v = NimbrelClient.bigEndian(body(pos:pos+3), 'single');
      NimbrelClient.expectEnd(body, pos + 4);
    end
    function out = decodeClassifier(body)
      out = struct('produced', false, 'result', 0, 'values', zeros(1, 0, 'single'));
      if isempty(body), return; end
      pos = NimbrelClient.openReply(body, 'tGetCurrentClassifierOutput', []);
      [out.result, pos] = NimbrelClient.readInt32(body, pos);
      out.values = NimbrelClient.runOf(body, pos, 'single', 4);
      out.produced = true;
    end
    function explainHandshakeFailure(err, host, port)
      % Rethrows an error of the handshake; a connection closed or lost before
      % the answer is how the plug-in turns away a client its settings refuse.
      if ~any(strcmp(err.identifier, {'nmb:timeout', 'nmb:protocol'}))
        error('nmb:connection', ['%s:%d closed the connection before answering the handshake (%s); the ' ...
              'plug-in may be restricting client addresses or connections per address in ' ...
              'NMBNetworkPlugin.ini (see docs/security.md)'], host, port, err.message);
      end
      rethrow(err);
    end
    function version = decodeHandshake(body, role)
      [answered, pos] = NimbrelClient.readText(body, 1);
      version = zeros(1, 3);
      for i = 1:3
        [version(i), pos] = NimbrelClient.readInt32(body, pos);
      end
      NimbrelClient.expectEnd(body, pos);
      if ~strcmp(answered, role)
        error('nmb:protocol', 'handshake answered role "%s" instead of "%s"', answered, role);
      end
    end
    function n = decodeNotification(body)
      [name, pos, isNull] = NimbrelClient.readText(body, 1);
      if isNull, error('nmb:protocol', 'notification without a name'); end
      [t, pos] = NimbrelClient.readInt32(body, pos);
      NimbrelClient.expectEnd(body, pos);
      n = struct('name', name, 'timePoint', t);
    end

    function [s, pos, isNull] = readText(body, pos)
      NimbrelClient.need(body, pos, 4);
      n = double(NimbrelClient.bigEndian(body(pos:pos+3), 'uint32'));
      pos = pos + 4;
      NimbrelClient.need(body, pos, n);
      bytes = body(pos:pos+n-1);
      pos = pos + n;
      isNull = (n == 0);
      nul = find(bytes == 0, 1);
      if ~isempty(nul), bytes = bytes(1:nul-1); end
      s = char(bytes(:).');
    end
    function [v, pos] = readInt32(body, pos)
      NimbrelClient.need(body, pos, 4);
      v = double(NimbrelClient.bigEndian(body(pos:pos+3), 'int32'));
      pos = pos + 4;
    end
    function v = runOf(body, pos, type, size)
      % The rest of the body as values of `type`, decoded in one step.
      rest = numel(body) - pos + 1;
      if mod(rest, size) ~= 0
        error('nmb:protocol', 'reply ends inside a run of %s values', type);
      end
      if rest == 0
        v = zeros(0, 1, type);
        return;
      end
      v = NimbrelClient.bigEndian(body(pos:end), type);
      v = v(:);
    end
    function need(body, pos, n)
      if numel(body) - pos + 1 < n
        error('nmb:protocol', 'reply ends inside a value');
      end
    end
    function expectEnd(body, pos)
      if pos ~= numel(body) + 1
        error('nmb:protocol', 'reply has %d unexpected trailing bytes', numel(body) - pos + 1);
      end
    end

    function v = bigEndian(bytes, type)
      v = typecast(uint8(bytes(:).'), type);
      if NimbrelClient.hostIsLittleEndian(), v = swapbytes(v); end
    end
    function b = toBigEndianBytes(v)
      if NimbrelClient.hostIsLittleEndian(), v = swapbytes(v); end
      b = typecast(v, 'uint8');
    end
    function little = hostIsLittleEndian()
      probe = typecast(uint16(1), 'uint8');
      little = probe(1) == 1;
    end

    % --- platform
    function t = now()
      % Seconds on a monotonic clock shared by every deadline of this class.
      persistent epoch
      if isempty(epoch), epoch = tic; end
      t = toc(epoch);
    end
    function s = wallClock()
      % The wall clock in Unix seconds (to the microsecond in Octave).
      if exist('OCTAVE_VERSION', 'builtin')
        s = time();
      else
        s = posixtime(datetime('now', 'TimeZone', 'UTC'));
      end
    end
    function t = deadline(timeout)
      t = NimbrelClient.now() + timeout;
    end
    function waitingFor(host, port, wait, attempt)
      % Calls attempt() (a connect and handshake) until it succeeds; while
      % `wait` seconds last, a failure to connect (nmb:connection, nmb:timeout)
      % is tried again every 0.25 s.
      limit = NimbrelClient.deadline(wait);
      while true
        try
          attempt();
          return;
        catch err
          if wait <= 0 || ~any(strcmp(err.identifier, {'nmb:connection', 'nmb:timeout'}))
            rethrow(err);
          end
          if NimbrelClient.now() + 0.25 > limit
            error('nmb:connection', 'no host answered at %s:%d within the %g s waited (the last try: %s)', ...
                  host, port, wait, err.message);
          end
          pause(0.25);
        end
      end
    end
    function s = openSocket(host, port, timeout)
      if exist('OCTAVE_VERSION', 'builtin') && ~exist('tcpclient')
        pkg load instrument-control
      end
      s = tcpclient(host, port, 'Timeout', timeout);
    end
  end
end
