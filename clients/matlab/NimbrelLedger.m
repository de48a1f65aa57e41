classdef NimbrelLedger < handle
  % NimbrelLedger  Where each volume's time goes, from the scanner's trigger
  % to the feedback on screen, on NimbrelClient.now()'s monotonic clock.
  %
  %   ledger = NimbrelLedger();
  %   s.Ledger = ledger;                      % a NimbrelSubscription stamps both steps
  %   n = s.next(10);
  %   means = c.meansOfAllRois();
  %   ledger.stamp(n.timePoint, 'values');
  %   drawFeedback(means);
  %   ledger.stamp(n.timePoint, 'shown');
  %   ms = ledger.stages(n.timePoint);        % [trigger->post-step, post-step->values, values->shown]
  %
  % Moments: 'trigger', 'preStep', 'postStep', 'values', 'shown'.  A volume is
  % counted as the notifications count it (the run's first is 1); the first
  % stamp of a moment stays.  FirstWallClock is the wall clock (Unix seconds)
  % at the first stamp, FirstStamp that stamp.  Unseen moments are NaN.

  properties (Constant)
    Moments = {'trigger', 'preStep', 'postStep', 'values', 'shown'}
  end

  properties (SetAccess = private)
    Times = nan(0, 5)        % one row per volume, one column per moment
    FirstStamp = []
    FirstWallClock = []
  end

  methods
    function at = stamp(obj, volume, moment, at)
      if nargin < 4, at = NimbrelClient.now(); end
      column = find(strcmp(moment, NimbrelLedger.Moments));
      if isempty(column) || volume < 1
        error('nmb:ledger', 'a moment is one of %s, stamped for a volume from 1', strjoin(NimbrelLedger.Moments, ', '));
      end
      if isempty(obj.FirstStamp)
        obj.FirstStamp = at;
        obj.FirstWallClock = NimbrelClient.wallClock() - (NimbrelClient.now() - at);
      end
      if volume > size(obj.Times, 1)
        obj.Times(end + 1:max(volume, 2 * size(obj.Times, 1)), :) = NaN;
      end
      if isnan(obj.Times(volume, column))
        obj.Times(volume, column) = at;
      end
    end

    function note(obj, n)
      % Stamps a notification struct of NimbrelSubscription.next().
      if strcmp(n.name, 'PostStepCalled')
        obj.stamp(n.timePoint, 'postStep', n.received);
      elseif strcmp(n.name, 'PreStepCalled')
        obj.stamp(n.timePoint, 'preStep', n.received);
      end
    end

    function t = moments(obj, volume)
      if volume >= 1 && volume <= size(obj.Times, 1)
        t = obj.Times(volume, :);
      else
        t = nan(1, 5);
      end
    end

    function ms = stages(obj, volume)
      t = obj.moments(volume);
      ms = 1000 * [t(3) - t(1), t(4) - t(3), t(5) - t(4)];
    end
  end
end
